#pragma once

#include "Export.h"
#include "MersenneTwister.h"

#include <memory>

namespace velmora {

// The handle that both detector models are: one owning pointer to the model's
// state record, which the model defines in its own source. Copies are deep,
// generator state included; a copy assignment builds the new state before it
// releases the old one, so a failed copy leaves the target unchanged, and
// self-assignment does nothing. Moves hand the record over and leave the
// source without one: such a handle may only be destroyed or assigned to, and
// every other use throws std::logic_error.
//
// State holds the model's one generator `rng` and its PMT grid step
// `pmt_time_step`, and names the model in `static constexpr const char*
// model_name`. The members are defined in ModelHandleMembers.h, which a
// model's source includes and instantiates once its state is complete.
template <typename State>
class VELMORA_EXPORT ModelHandle {
  public:
    // The model's one random generator, from which every draw comes: a
    // caller may reseed it or carry its state over to another model.
    MersenneTwister& generator();

    // The largest PE time magnitude in seconds that simulate accepts:
    // max_pe_time_steps PMT grid steps. Larger times raise
    // std::invalid_argument; a longer run is simulated in pieces, each
    // relative to a nearer time origin.
    [[nodiscard]] double max_pe_time() const;

  protected:
    explicit ModelHandle(std::unique_ptr<State> state) noexcept;
    ModelHandle(const ModelHandle& other);
    ModelHandle& operator=(const ModelHandle& other);
    ModelHandle(ModelHandle&& other) noexcept;
    ModelHandle& operator=(ModelHandle&& other) noexcept;
    ~ModelHandle();

    // The state record; throws std::logic_error, naming the model, when the
    // handle has been moved from.
    State& state();
    [[nodiscard]] const State& state() const;

  private:
    [[noreturn]] static void moved_from();

    std::unique_ptr<State> state_;
};

} // namespace velmora
