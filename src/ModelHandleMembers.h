#pragma once

// The members of ModelHandle, for the model sources that instantiate it once
// their state record is complete (template class ModelHandle<State>;).

#include "ModelHandle.h"
#include "SparseWaveform.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace velmora {

template <typename State>
ModelHandle<State>::ModelHandle(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}

template <typename State>
ModelHandle<State>::ModelHandle(const ModelHandle& other)
    : state_(other.state_ ? std::make_unique<State>(*other.state_) : nullptr) {}

template <typename State>
ModelHandle<State>& ModelHandle<State>::operator=(const ModelHandle& other) {
    if (this != &other) {
        auto fresh = other.state_ ? std::make_unique<State>(*other.state_) : nullptr;
        state_ = std::move(fresh);
    }
    return *this;
}

template <typename State>
ModelHandle<State>::ModelHandle(ModelHandle&& other) noexcept = default;

template <typename State>
ModelHandle<State>& ModelHandle<State>::operator=(ModelHandle&& other) noexcept = default;

template <typename State>
ModelHandle<State>::~ModelHandle() = default;

template <typename State>
void ModelHandle<State>::moved_from() {
    throw std::logic_error(std::string(State::model_name) + ": the object has been moved from.");
}

template <typename State>
State& ModelHandle<State>::state() {
    if (!state_) {
        moved_from();
    }
    return *state_;
}

template <typename State>
const State& ModelHandle<State>::state() const {
    if (!state_) {
        moved_from();
    }
    return *state_;
}

template <typename State>
MersenneTwister& ModelHandle<State>::generator() {
    return state().rng;
}

template <typename State>
double ModelHandle<State>::max_pe_time() const {
    return max_pe_time_steps * state().pmt_time_step;
}

} // namespace velmora
