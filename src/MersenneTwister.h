#pragma once

#include "Export.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

namespace velmora {

// The 32-bit Mersenne Twister MT19937: the same sequence as std::mt19937 for
// every seed, made faster. The 624-word state is regenerated a block at a
// time (with AVX2 where the processor has it, chosen at run time) and
// tempered into a buffer in the same pass, so a draw is a load and an index
// increment. Its state converts to and from std::mt19937 exactly, so code
// that must hand a std::mt19937 to a caller loses nothing.
class VELMORA_EXPORT MersenneTwister {
  public:
    using result_type = std::uint32_t;
    static constexpr std::size_t state_size = 624;
    static constexpr result_type default_seed = 5489U;

    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 0xffffffffU; }

    explicit MersenneTwister(result_type value = default_seed) { seed(value); }
    explicit MersenneTwister(std::seed_seq& seq) { seed(seq); }
    explicit MersenneTwister(const std::mt19937& standard);

    // The single-value seeding of std::mt19937::seed(value).
    void seed(result_type value);
    // The seed-sequence seeding of std::mt19937::seed(seq).
    void seed(std::seed_seq& seq);

    result_type operator()() {
        if (next_ == state_size) {
            refill();
        }
        return tempered_[next_++];
    }

    // Advances by `count` draws, as `count` calls would.
    void discard(unsigned long long count);

    // The same state as a std::mt19937: its next draws are this engine's.
    [[nodiscard]] std::mt19937 to_standard() const;

    // Code written for the standard engine may take and give this one's
    // state as a std::mt19937 directly: a model's generator assigned from
    // one, kept as one, or compared with one.
    MersenneTwister& operator=(const std::mt19937& standard) { return *this = MersenneTwister(standard); }
    operator std::mt19937() const { return to_standard(); } // NOLINT(google-explicit-constructor)

    friend bool operator==(const MersenneTwister& a, const MersenneTwister& b);
    friend bool operator==(const MersenneTwister& a, const std::mt19937& b) { return a.to_standard() == b; }

  private:
    // Twists the state into its next block and tempers it into the buffer.
    void refill();

    alignas(64) std::array<std::uint32_t, state_size> state_{};
    alignas(64) std::array<std::uint32_t, state_size> tempered_{};
    std::size_t next_ = state_size;
};

// Lends the state of a std::mt19937 to a MersenneTwister for a stretch of
// draws and gives it back when the stretch ends, also by an exception: code
// handed a standard engine draws through the faster one, and the standard
// engine ends where its own draws would have left it.
class VELMORA_EXPORT BorrowedTwister {
  public:
    explicit BorrowedTwister(std::mt19937& standard) : standard_(&standard), engine_(standard) {}
    BorrowedTwister(const BorrowedTwister&) = delete;
    BorrowedTwister& operator=(const BorrowedTwister&) = delete;
    BorrowedTwister(BorrowedTwister&&) = delete;
    BorrowedTwister& operator=(BorrowedTwister&&) = delete;
    ~BorrowedTwister() { *standard_ = engine_.to_standard(); }

    MersenneTwister& engine() noexcept { return engine_; }

  private:
    std::mt19937* standard_;
    MersenneTwister engine_;
};

// The block regeneration, exposed so that every path can be tested against
// the others whatever the processor running the tests chooses.
namespace twister {

// Twists `state` in place into the next block and writes the tempered words
// to `out`: the portable path.
VELMORA_EXPORT void regenerate_portable(std::uint32_t* state, std::uint32_t* out);
// The same with AVX2 instructions; only on a processor that has them.
VELMORA_EXPORT void regenerate_avx2(std::uint32_t* state, std::uint32_t* out);
// Whether this processor can run regenerate_avx2.
VELMORA_EXPORT bool has_avx2();
// The path that MersenneTwister uses on this processor: "avx2" or "portable".
VELMORA_EXPORT const char* path_in_use();

} // namespace twister

} // namespace velmora
