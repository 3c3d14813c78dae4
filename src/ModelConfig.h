#pragma once

// The field tables of the detector models' configurations: each setting once,
// in the order of the models' constructors, by name, member and kind, with
// what a config file of the batch layer says of it (unit, meaning, bounds,
// default, choices, whether a channel may override it, the checks of its
// size). Whoever fills a configuration from named values (the batch layer's
// engines) or describes one (its config checks, JSON Schema, --set keys)
// walks the table instead of naming every setting again.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

namespace velmora {

// What a setting is, beyond its C++ type.
enum class FieldKind : std::uint8_t {
    spectrum, // a spectrum or pulse-shape file, or its points in memory
    real,     // a number
    integer,  // a whole number
    integers, // a list of whole numbers
    choice,   // one of a model's named options
    seed,     // the generator's seed
};

// Which size of a value in seconds is implausible, as a value given in
// nanoseconds would be: a step above 1 us, a time (or a time spectrum's span)
// above 1 ms.
enum class Plausible : std::uint8_t {
    any,
    step,
    time,
};

template <typename Config, typename T>
struct Field {
    using type = T;
    const char* name;
    T Config::* member;
    FieldKind kind;
    const char* unit = "";    // "" for a plain number
    const char* meaning = ""; // one line
    // Bounds of a whole number in a config (else the 32-bit range).
    std::optional<std::int64_t> minimum = std::nullopt;
    std::optional<std::int64_t> maximum = std::nullopt;
    // A choice's names and values, and the name of its default; a field
    // without a default must be given.
    std::span<const std::pair<std::string_view, T>> choices = {};
    const char* default_name = nullptr;
    // Its place among the columns of a per-channel override table (1 first);
    // 0 where a channel may not override it.
    int override_column = 0;
    Plausible plausible = Plausible::any;
    // A pulse shape: the field whose step its points are spaced by.
    const char* grid = nullptr;
    // A time that must stay within the engine's late-time limit.
    bool late = false;
};

// What the models' tables say alike of the settings they share.
namespace field_text {
inline constexpr const char* time_spectrum_unit = "s, relative probability";
inline constexpr const char* amplitude_spectrum_unit = "normalised amplitude, relative probability";
inline constexpr const char* pulse_shape_unit = "s, normalised amplitude";
inline constexpr const char* adc_jitter_meaning =
    "offset of ADC samples relative to simulation times, 0 for none, -1 for random";
inline constexpr const char* adc_gain_meaning = "ADC gain (scale factor of the normalised amplitude)";
} // namespace field_text

// Calls f(field) for each field of a table, in order.
template <typename Fields, typename F>
constexpr void for_each_field(const Fields& fields, F&& f) {
    std::apply([&](const auto&... field) { (f(field), ...); }, fields);
}

} // namespace velmora
