#include "MersenneTwister.h"

#include <immintrin.h>
#include <sstream>
#include <stdexcept>

namespace velmora {

namespace {

constexpr std::size_t N = MersenneTwister::state_size;
constexpr std::size_t M = 397;
constexpr std::uint32_t MATRIX_A = 0x9908b0dfU;
constexpr std::uint32_t UPPER_MASK = 0x80000000U;
constexpr std::uint32_t LOWER_MASK = 0x7fffffffU;

std::uint32_t twist(std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
    const std::uint32_t y = (upper & UPPER_MASK) | (lower & LOWER_MASK);
    return far ^ (y >> 1U) ^ ((y & 1U) != 0 ? MATRIX_A : 0U);
}

std::uint32_t temper(std::uint32_t z) {
    z ^= z >> 11U;
    z ^= (z << 7U) & 0x9d2c5680U;
    z ^= (z << 15U) & 0xefc60000U;
    z ^= z >> 18U;
    return z;
}

// The words at k + 1 and k + M (k - (N - M) past the middle) that word k's
// twist reads are, for a run of 8 consecutive k, 8 consecutive words that
// the run has not yet written (k + 1 .. k + 8) or has long finished
// (k - 227 .. k - 220): so 8 words twist at once, in the order of the
// scalar loop, with the same result.
__attribute__((target("avx2"))) __m256i twist8(__m256i upper, __m256i lower, __m256i far) {
    const __m256i y = _mm256_or_si256(_mm256_and_si256(upper, _mm256_set1_epi32(static_cast<int>(UPPER_MASK))),
                                      _mm256_and_si256(lower, _mm256_set1_epi32(static_cast<int>(LOWER_MASK))));
    const __m256i odd = _mm256_and_si256(y, _mm256_set1_epi32(1));
    const __m256i mag =
        _mm256_and_si256(_mm256_sub_epi32(_mm256_setzero_si256(), odd), _mm256_set1_epi32(static_cast<int>(MATRIX_A)));
    return _mm256_xor_si256(_mm256_xor_si256(far, _mm256_srli_epi32(y, 1)), mag);
}

__attribute__((target("avx2"))) __m256i load8(const std::uint32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) void store8(std::uint32_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

using Regenerate = void (*)(std::uint32_t*, std::uint32_t*);

// The path of this processor, chosen once per process on first use (not at
// static initialisation, so that engines made by other static objects work).
Regenerate regenerate() {
    static const Regenerate chosen = twister::has_avx2() ? twister::regenerate_avx2 : twister::regenerate_portable;
    return chosen;
}

} // namespace

namespace twister {

void regenerate_portable(std::uint32_t* state, std::uint32_t* out) {
    std::size_t k = 0;
    for (; k < N - M; ++k) {
        state[k] = twist(state[k], state[k + 1], state[k + M]);
    }
    for (; k < N - 1; ++k) {
        state[k] = twist(state[k], state[k + 1], state[k + M - N]);
    }
    state[N - 1] = twist(state[N - 1], state[0], state[M - 1]);
    for (k = 0; k < N; ++k) {
        out[k] = temper(state[k]);
    }
}

__attribute__((target("avx2"))) void regenerate_avx2(std::uint32_t* state, std::uint32_t* out) {
    std::size_t k = 0;
    // First stretch: k + M + 7 stays inside the state.
    for (; k + 8 <= N - M; k += 8) {
        store8(state + k, twist8(load8(state + k), load8(state + k + 1), load8(state + k + M)));
    }
    for (; k < N - M; ++k) {
        state[k] = twist(state[k], state[k + 1], state[k + M]);
    }
    // Second stretch, up to the last word, which reads the new first word.
    for (; k + 8 <= N - 1; k += 8) {
        store8(state + k, twist8(load8(state + k), load8(state + k + 1), load8(state + k + M - N)));
    }
    for (; k < N - 1; ++k) {
        state[k] = twist(state[k], state[k + 1], state[k + M - N]);
    }
    state[N - 1] = twist(state[N - 1], state[0], state[M - 1]);
    for (k = 0; k < N; k += 8) {
        __m256i z = load8(state + k);
        z = _mm256_xor_si256(z, _mm256_srli_epi32(z, 11));
        z = _mm256_xor_si256(
            z, _mm256_and_si256(_mm256_slli_epi32(z, 7), _mm256_set1_epi32(static_cast<int>(0x9d2c5680U))));
        z = _mm256_xor_si256(
            z, _mm256_and_si256(_mm256_slli_epi32(z, 15), _mm256_set1_epi32(static_cast<int>(0xefc60000U))));
        z = _mm256_xor_si256(z, _mm256_srli_epi32(z, 18));
        store8(out + k, z);
    }
}

bool has_avx2() {
    __builtin_cpu_init();
    // An int to GCC, a bool to clang's tools.
    return __builtin_cpu_supports("avx2") != 0; // NOLINT(readability-implicit-bool-conversion)
}

const char* path_in_use() {
    return regenerate() == regenerate_avx2 ? "avx2" : "portable";
}

} // namespace twister

static_assert(MersenneTwister::state_size % 8 == 0, "the AVX2 tempering pass takes 8 words at a time");

MersenneTwister::MersenneTwister(const std::mt19937& standard) {
    // The standard engine shows its state only as text: its words, then its
    // position in them.
    std::stringstream text;
    text << standard;
    std::size_t position = 0;
    for (auto& word : state_) {
        text >> word;
    }
    text >> position;
    if (!text || position > state_size) {
        throw std::logic_error("MersenneTwister: unreadable std::mt19937 state");
    }
    for (std::size_t k = 0; k < state_size; ++k) {
        tempered_[k] = temper(state_[k]);
    }
    next_ = position;
}

void MersenneTwister::seed(result_type value) {
    state_[0] = value;
    for (std::size_t k = 1; k < state_size; ++k) {
        const std::uint32_t prev = state_[k - 1];
        state_[k] = (1812433253U * (prev ^ (prev >> 30U))) + static_cast<std::uint32_t>(k);
    }
    next_ = state_size;
}

void MersenneTwister::seed(std::seed_seq& seq) {
    seq.generate(state_.begin(), state_.end());
    // A state of zeros (but for the top bit of the first word, which the
    // twist never reads) would give only zeros: the standard engine then
    // sets that top bit.
    bool zero = (state_[0] & UPPER_MASK) == 0;
    for (std::size_t k = 1; zero && k < state_size; ++k) {
        zero = state_[k] == 0;
    }
    if (zero) {
        state_[0] = UPPER_MASK;
    }
    next_ = state_size;
}

void MersenneTwister::discard(unsigned long long count) {
    while (count > state_size - next_) {
        count -= state_size - next_;
        refill();
    }
    next_ += static_cast<std::size_t>(count);
}

std::mt19937 MersenneTwister::to_standard() const {
    std::stringstream text;
    for (const auto word : state_) {
        text << word << ' ';
    }
    text << next_;
    std::mt19937 standard; // NOLINT(bugprone-random-generator-seed): its whole state is read next
    text >> standard;
    return standard;
}

bool operator==(const MersenneTwister& a, const MersenneTwister& b) {
    // Equal when their next draws are equal: the same block and position.
    return a.next_ == b.next_ && a.state_ == b.state_;
}

void MersenneTwister::refill() {
    regenerate()(state_.data(), tempered_.data());
    next_ = 0;
}

} // namespace velmora
