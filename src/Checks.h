#pragma once

// The checks that the stages and models make on their settings, and the one
// form of their messages: "<what> must <rule>.", thrown as
// std::invalid_argument. `what` names the owner and the setting, as in
// "ADCSim: noise" or "MultiPMT: tot_step".

#include <string_view>

namespace velmora::checks {

// Throws std::invalid_argument("<what> must <rule>.").
[[noreturn]] void reject(std::string_view what, std::string_view rule);

// A step or period of a stage: a finite number greater than zero.
void require_positive(double value, std::string_view what);

// The PMT and ToT grid steps of a model, with the wording that their messages
// have always had ("must be finite and greater than zero").
void require_grid_step(double value, std::string_view what);

// A level or a time that compares with or shifts other values: NaN or an
// infinity would silently give no result, or fail late without naming it.
void require_finite(double value, std::string_view what);

// A standard deviation: finite and not below zero.
void require_deviation(double value, std::string_view what);

} // namespace velmora::checks
