#pragma once

// The field tables of the detector models' configurations: each setting once,
// by name, member and kind, in the order of the models' constructors. Whoever
// fills a configuration from named values (the batch layer's engines) walks
// the table instead of naming every setting again.

#include <cstdint>
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

template <typename Config, typename T>
struct Field {
    using type = T;
    const char* name;
    T Config::* member;
    FieldKind kind;
};

// Calls f(field) for each field of a table, in order.
template <typename Fields, typename F>
constexpr void for_each_field(const Fields& fields, F&& f) {
    std::apply([&](const auto&... field) { (f(field), ...); }, fields);
}

} // namespace velmora
