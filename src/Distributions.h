#pragma once

// The draws of the library as plain functions over a 32-bit generator
// (MersenneTwister, or std::mt19937 itself): each gives, word for word and
// bit for bit, what the GNU standard library's distribution gives from the
// same generator, by doing the same operations in the same order. Seeded
// runs reproduce exactly whichever of the two a stage draws through; they
// are faster here because nothing passes through the distributions' general
// bookkeeping.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace velmora::draw {

// std::generate_canonical<double, 53>: two words, the first the low one,
// summed in double and scaled by 2^-64; a sum that rounds up to 1 gives the
// largest double below 1.
template <class Generator>
inline double canonical(Generator& g) {
    auto sum = static_cast<double>(static_cast<std::uint32_t>(g()));
    sum += static_cast<double>(static_cast<std::uint32_t>(g())) * 4294967296.0;
    double value = sum / 18446744073709551616.0;
    if (value >= 1.0) [[unlikely]] {
        value = std::nextafter(1.0, 0.0);
    }
    return value;
}

// std::normal_distribution<double>'s polar method. One object stands for one
// distribution object: each pair of canonicals accepted gives two values, the
// second kept for the next draw of the same object. A stage makes one per
// call, so the value left over at the end of a call is dropped with it.
class PolarNormal {
  public:
    template <class Generator>
    double operator()(Generator& g, double mean = 0.0, double stddev = 1.0) {
        double value = 0.0;
        if (saved_available_) {
            saved_available_ = false;
            value = saved_;
        } else {
            double x = 0.0;
            double y = 0.0;
            double r2 = 0.0;
            do {
                x = (2.0 * canonical(g)) - 1.0;
                y = (2.0 * canonical(g)) - 1.0;
                r2 = (x * x) + (y * y);
            } while (r2 > 1.0 || r2 == 0.0);
            const double mult = std::sqrt(-2 * std::log(r2) / r2);
            saved_ = x * mult;
            saved_available_ = true;
            value = y * mult;
        }
        return (value * stddev) + mean;
    }

  private:
    double saved_ = 0.0;
    bool saved_available_ = false;
};

// std::uniform_int_distribution<int>(a, b) over a 32-bit generator: the
// product of a word and the range size, redrawn while its low half falls in
// the biased zone, taken by its high half.
template <class Generator>
inline int uniform_int(Generator& g, int a, int b) {
    const std::uint32_t urange = static_cast<std::uint32_t>(b) - static_cast<std::uint32_t>(a);
    std::uint32_t value = 0;
    if (urange == 0xffffffffU) {
        // The whole 32-bit range: the word itself.
        value = static_cast<std::uint32_t>(g());
    } else {
        const std::uint32_t range = urange + 1;
        std::uint64_t product = static_cast<std::uint64_t>(static_cast<std::uint32_t>(g())) * range;
        auto low = static_cast<std::uint32_t>(product);
        if (low < range) {
            const std::uint32_t threshold = (0U - range) % range;
            while (low < threshold) {
                product = static_cast<std::uint64_t>(static_cast<std::uint32_t>(g())) * range;
                low = static_cast<std::uint32_t>(product);
            }
        }
        value = static_cast<std::uint32_t>(product >> 32U);
    }
    return static_cast<int>(value + static_cast<std::uint32_t>(a));
}

// std::piecewise_linear_distribution<double> over the points (x, y): its
// cumulative table, slopes and densities computed once, with the standard
// library's arithmetic, then one canonical and a lower bound per draw.
class PiecewiseLinear {
  public:
    PiecewiseLinear() = default;

    PiecewiseLinear(const std::vector<double>& x, const std::vector<double>& y) {
        if (x.size() != y.size()) {
            throw std::invalid_argument("PiecewiseLinear: as many densities as points are needed");
        }
        if (x.size() < 2 || (x.size() == 2 && x[0] == 0.0 && x[1] == 1.0 && y[0] == y[1])) {
            return; // the standard library's uniform distribution over [0, 1)
        }
        int_ = x;
        den_ = y;
        double sum = 0.0;
        cp_.reserve(x.size() - 1);
        m_.reserve(x.size() - 1);
        for (std::size_t k = 0; k + 1 < x.size(); ++k) {
            const double delta = int_[k + 1] - int_[k];
            sum += 0.5 * (den_[k + 1] + den_[k]) * delta;
            cp_.push_back(sum);
            m_.push_back((den_[k + 1] - den_[k]) / delta);
        }
        if (!(sum > 0)) {
            throw std::invalid_argument("PiecewiseLinear: the densities must enclose a positive area");
        }
        for (auto& v : den_) {
            v = v / sum;
        }
        for (auto& v : cp_) {
            v = v / sum;
        }
        for (auto& v : m_) {
            v = v / sum;
        }
        cp_.back() = 1.0;
        // The guide: for each of 2^bits equal slices [k / 2^bits, (k + 1) /
        // 2^bits) of the probabilities, the interval of its lower end, so that
        // a draw starts its search there instead of bisecting the whole table.
        std::size_t slices = 1;
        while (slices < 4 * cp_.size() && slices < max_guide_slices) {
            slices *= 2;
        }
        scale_ = static_cast<double>(slices);
        guide_.resize(slices);
        for (std::size_t k = 0; k < slices; ++k) {
            const double lower_end = static_cast<double>(k) / scale_; // exact: slices is a power of two
            guide_[k] = static_cast<std::size_t>(std::ranges::lower_bound(cp_, lower_end) - cp_.begin());
        }
    }

    // The first and the last point: what the standard distribution's
    // intervals() give, [0, 1] for its uniform special case.
    [[nodiscard]] double lower() const { return int_.empty() ? 0.0 : int_.front(); }
    [[nodiscard]] double upper() const { return int_.empty() ? 1.0 : int_.back(); }

    template <class Generator>
    double operator()(Generator& g) const {
        const double p = canonical(g);
        if (cp_.empty()) {
            return p;
        }
        const auto i = interval_of(p);
        const double pref = i > 0 ? cp_[i - 1] : 0.0;
        const double a = 0.5 * m_[i];
        const double b = den_[i];
        const double cm = p - pref;
        double x = int_[i];
        if (a == 0) {
            x += cm / b;
        } else {
            const double d = (b * b) + (4.0 * a * cm);
            x += 0.5 * (std::sqrt(d) - b) / a;
        }
        return x;
    }

    // The cumulative probability at the end of each interval (empty for the
    // uniform special case).
    [[nodiscard]] const std::vector<double>& cumulative() const { return cp_; }

    // The first interval whose cumulative probability is at least p, as
    // std::lower_bound over the cumulative table finds it, for p in [0, 1).
    // p * 2^bits is exact, so its slice k has k / 2^bits <= p: every
    // interval before the guide's ends below p, and the search walks on from
    // there. The last cumulative value is 1 > p, so the walk stops inside
    // the table.
    [[nodiscard]] std::size_t interval_of(double p) const {
        std::size_t i = guide_[static_cast<std::size_t>(p * scale_)];
        while (cp_[i] < p) {
            ++i;
        }
        return i;
    }

  private:
    static constexpr std::size_t max_guide_slices = 65536; // 2^16

    std::vector<double> int_;
    std::vector<double> den_;
    std::vector<double> cp_;
    std::vector<double> m_;
    std::vector<std::size_t> guide_;
    double scale_ = 0.0;
};

} // namespace velmora::draw
