// The run engine's Python face: engines over the detector models built from
// parameter dictionaries and spectra in memory, simulating blocks of channels
// with the interpreter lock released and handing the columns over as numpy
// arrays that own the engine's vectors.
#include "bindings.h"

#include "ChannelEngine.h"
#include "ModelConfig.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::batch {

namespace {

// A flag that a run sets to stop its blocks; engines read it between channels.
struct CancelFlag {
    std::atomic<bool> value{false};
};

template <typename T>
py::array_t<T> adopt(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(std::move(shape), owned->data(), owner);
}

template <typename T>
py::array_t<T> adopt(std::vector<T>&& values) {
    const auto n = static_cast<py::ssize_t>(values.size());
    return adopt(std::move(values), {n});
}

py::array adopt_bools(std::vector<std::uint8_t>&& values) {
    auto* owned = new std::vector<std::uint8_t>(std::move(values));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<std::uint8_t>*>(p); });
    return py::array(py::dtype::of<bool>(), {static_cast<py::ssize_t>(owned->size())}, owned->data(), owner);
}

// The columns of `table` from `c` into `d`, as numpy arrays that own their
// vectors; a shaped column has the shape (rows, width), and a saturation
// column is left out without saturation.
template <typename Columns, typename Table>
void put_columns(py::dict& d, Columns& c, const Table& table, const RunExtras& extras, py::ssize_t rows = 0,
                 py::ssize_t width = 0) {
    for_each_field(table, [&](const auto& column) {
        using T = std::decay_t<decltype(column)>::type;
        auto& values = c.*column.member;
        if (column.saturation && !extras.saturation) {
            return;
        }
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            d[column.name] = adopt_bools(std::move(values));
        } else if (column.shape != nullptr) {
            d[column.name] = adopt(std::move(values), {rows, width});
        } else {
            d[column.name] = adopt(std::move(values));
        }
    });
}

template <typename Model>
py::dict to_dict(typename ColumnsOf<Model>::type&& c, const RunExtras& extras) {
    py::dict d;
    py::ssize_t width = 0;
    if constexpr (requires { c.waveform_samples; }) {
        width = static_cast<py::ssize_t>(c.waveform_samples);
    }
    put_columns(d, c, record_columns(std::type_identity<Model>{}), extras, static_cast<py::ssize_t>(c.rows()), width);
    if (extras.truth) {
        put_columns(d, c.truth, truth_columns(), extras);
        py::dict links;
        put_columns(links, c.truth, link_columns(), extras);
        d["links"] = links;
    }
    return d;
}

// Parameters by name from a parameter set, with errors that name them.
template <typename T>
T param(const py::dict& params, const char* name) {
    if (!params.contains(name)) {
        throw py::key_error(std::string("missing parameter '") + name + "'");
    }
    try {
        return params[name].cast<T>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string("parameter '") + name +
                             "' has the wrong type: " + py::str(py::type::of(params[name])).cast<std::string>());
    }
}

// The points of one spectrum; `names` may give what the model's messages call
// it (the file its points were read from), else they call it by its argument.
SpectrumPoints spectrum(const py::dict& spectra, const py::dict& names, const char* name) {
    if (!spectra.contains(name)) {
        throw py::key_error(std::string("missing spectrum '") + name + "'");
    }
    const auto xy = spectra[name].cast<py::tuple>();
    if (xy.size() != 2) {
        throw py::value_error(std::string("spectrum '") + name + "' must be a pair (x, y)");
    }
    using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
    const auto x = xy[0].cast<Array>();
    const auto y = xy[1].cast<Array>();
    if (x.ndim() != 1 || y.ndim() != 1) {
        throw py::value_error(std::string("spectrum '") + name + "': x and y must be one-dimensional");
    }
    const std::string shown = names.contains(name) ? names[name].cast<std::string>() : std::string(name);
    return {shown, std::vector<double>(x.data(), x.data() + x.size()),
            std::vector<double>(y.data(), y.data() + y.size())};
}

// A choice's value by its name, from the field's own table of choices; an
// unknown name is refused with every name the table holds.
template <typename T>
T choice_value(const char* field, std::span<const std::pair<std::string_view, T>> choices, const std::string& name) {
    std::string known;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (name == choices[i].first) {
            return choices[i].second;
        }
        if (i != 0) {
            known += i + 1 == choices.size() ? " or " : ", ";
        }
        known += "'" + std::string(choices[i].first) + "'";
    }
    throw py::value_error(std::string(field) + " must be " + known + ", got '" + name + "'");
}

// A model from its parameter set and spectra, setting by setting as its field
// table lists them. The seed is left at 0: every piece reseeds the generator.
template <typename Model>
Model make_model(const py::dict& params, const py::dict& spectra, const py::dict& names) {
    typename Model::Config config;
    for_each_field(Model::fields(), [&](const auto& field) {
        using T = std::decay_t<decltype(field)>::type;
        auto& value = config.*field.member;
        if (field.kind == FieldKind::seed) {
            return;
        }
        if constexpr (std::is_same_v<T, SpectrumSource>) {
            value = spectrum(spectra, names, field.name);
        } else if constexpr (std::is_enum_v<T>) {
            value = choice_value(field.name, field.choices, param<std::string>(params, field.name));
        } else {
            value = param<T>(params, field.name);
        }
    });
    return Model(std::move(config));
}

const char* kind_name(FieldKind kind) {
    switch (kind) {
    case FieldKind::spectrum:
        return "spectrum";
    case FieldKind::real:
        return "real";
    case FieldKind::integer:
        return "integer";
    case FieldKind::integers:
        return "integers";
    case FieldKind::choice:
        return "choice";
    case FieldKind::seed:
        break;
    }
    return "seed";
}

const char* plausible_name(Plausible plausible) {
    switch (plausible) {
    case Plausible::step:
        return "step";
    case Plausible::time:
        return "time";
    case Plausible::any:
        break;
    }
    return nullptr;
}

py::object text_or_none(const char* text) {
    return text != nullptr ? py::object(py::str(text)) : py::object(py::none());
}

py::object number_or_none(const std::optional<std::int64_t>& value) {
    return value ? py::object(py::int_(*value)) : py::object(py::none());
}

// A model's field table as plain data: one dict per setting, in order.
template <typename Model>
py::list field_table() {
    py::list out;
    for_each_field(Model::fields(), [&](const auto& field) {
        py::list choices;
        for (const auto& choice : field.choices) {
            choices.append(py::str(choice.first.data(), choice.first.size()));
        }
        py::dict d;
        d["name"] = field.name;
        d["kind"] = kind_name(field.kind);
        d["unit"] = field.unit;
        d["meaning"] = field.meaning;
        d["minimum"] = number_or_none(field.minimum);
        d["maximum"] = number_or_none(field.maximum);
        d["choices"] = choices;
        d["default"] = text_or_none(field.default_name);
        d["override_column"] = field.override_column;
        d["plausible"] = text_or_none(plausible_name(field.plausible));
        d["grid"] = text_or_none(field.grid);
        d["late"] = field.late;
        out.append(d);
    });
    return out;
}

// A column table as plain data: one dict per column, in order.
template <typename Table>
py::list column_table(const Table& table) {
    py::list out;
    for_each_field(table, [&](const auto& column) {
        using T = std::decay_t<decltype(column)>::type;
        py::dict d;
        d["name"] = column.name;
        d["dtype"] = dtype_name<T>();
        d["unit"] = column.unit;
        d["meaning"] = column.meaning;
        d["shape"] = text_or_none(column.shape);
        d["saturation"] = column.saturation;
        d["added"] = column.added;
        out.append(d);
    });
    return out;
}

[[noreturn]] void raise_as(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Raises the failure of a channel as the Python exception that the velmora
// module would raise for it, its message prefixed with the channel.
[[noreturn]] void raise_channel_failure(const ChannelFailure& failure) {
    const std::string prefix = "channel " + std::to_string(failure.channel) + ": ";
    try {
        std::rethrow_exception(failure.cause);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const Cancelled&) {
        throw; // the run is being stopped: no channel failed
    } catch (const std::invalid_argument& e) {
        raise_as(PyExc_ValueError, prefix + e.what());
    } catch (const std::domain_error& e) {
        raise_as(PyExc_ValueError, prefix + e.what());
    } catch (const std::length_error& e) {
        raise_as(PyExc_ValueError, prefix + e.what());
    } catch (const std::out_of_range& e) {
        raise_as(PyExc_IndexError, prefix + e.what());
    } catch (const std::overflow_error& e) {
        raise_as(PyExc_OverflowError, prefix + e.what());
    } catch (const std::bad_alloc& e) {
        raise_as(PyExc_MemoryError, prefix + e.what());
    } catch (const std::exception& e) {
        raise_as(PyExc_RuntimeError, prefix + e.what());
    }
    raise_as(PyExc_RuntimeError, prefix + "unknown failure");
}

using Int32s = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
using Int64s = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using UInt64s = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;
using UInt32s = py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using UInt8s = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

// The pieces of a block from its column arrays, checked for shape and range.
std::vector<ChannelPiece> make_pieces(const Int32s& channels, const Int64s& bounds, const Int64s& models,
                                      const std::optional<UInt32s>& seeds, const UInt64s& origin_ticks,
                                      const Doubles& origins, const std::optional<Int64s>& origin_steps,
                                      std::size_t n_times) {
    const auto n = static_cast<std::size_t>(channels.size());
    if (channels.ndim() != 1 || bounds.ndim() != 1 || static_cast<std::size_t>(bounds.size()) != n + 1) {
        throw py::value_error("bounds must hold one more entry than channels");
    }
    if (std::cmp_not_equal(models.size(), n) || std::cmp_not_equal(origin_ticks.size(), n) ||
        std::cmp_not_equal(origins.size(), n)) {
        throw py::value_error("models, origin_ticks and origins must hold one entry per channel");
    }
    if (origin_steps && (origin_steps->ndim() != 1 || std::cmp_not_equal(origin_steps->size(), n))) {
        throw py::value_error("origin_steps must hold one entry per channel");
    }
    if (seeds && (seeds->ndim() != 2 || std::cmp_not_equal(seeds->shape(0), n) || seeds->shape(1) != 8)) {
        throw py::value_error("seeds must have the shape (channels, 8)");
    }
    std::vector<ChannelPiece> pieces(n);
    const auto* b = bounds.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (b[i] < 0 || b[i] > b[i + 1] || std::cmp_greater(b[i + 1], n_times)) {
            throw py::value_error("bounds must rise from 0 to at most the number of PE times");
        }
        if (models.data()[i] < 0) {
            throw py::value_error("model indices must not be negative");
        }
        auto& p = pieces[i];
        p.channel = channels.data()[i];
        p.first = static_cast<std::size_t>(b[i]);
        p.last = static_cast<std::size_t>(b[i + 1]);
        p.model = static_cast<std::size_t>(models.data()[i]);
        if (seeds) {
            for (std::size_t k = 0; k < 8; ++k) {
                p.seed[k] = seeds->data()[(i * 8) + k];
            }
        }
        p.origin_ticks = origin_ticks.data()[i];
        p.origin = origins.data()[i];
        p.origin_steps = origin_steps ? origin_steps->data()[i] : 0;
    }
    return pieces;
}

// The kind of every PE time (0 input PE, 1 dark noise, 2 afterpulse), checked for shape and range.
std::vector<std::uint8_t> kind_values_of(const UInt8s& kinds, std::size_t n_times) {
    if (kinds.ndim() != 1 || std::cmp_not_equal(kinds.size(), n_times)) {
        throw py::value_error("kinds must hold one entry per PE time");
    }
    std::vector<std::uint8_t> values(kinds.data(), kinds.data() + n_times);
    for (const std::uint8_t k : values) {
        if (k > 2) {
            throw py::value_error("kinds must be 0 (input PE), 1 (dark noise) or 2 (afterpulse)");
        }
    }
    return values;
}

// The baseline noise seed words of every piece (one row of 8 per piece), checked for shape.
std::vector<std::array<std::uint32_t, 8>> noise_words_of(const UInt32s& noise_seeds, std::size_t n_pieces) {
    if (noise_seeds.ndim() != 2 || std::cmp_not_equal(noise_seeds.shape(0), n_pieces) || noise_seeds.shape(1) != 8) {
        throw py::value_error("noise_seeds must have the shape (channels, 8)");
    }
    std::vector<std::array<std::uint32_t, 8>> words(n_pieces);
    for (std::size_t i = 0; i < n_pieces; ++i) {
        for (std::size_t k = 0; k < 8; ++k) {
            words[i][k] = noise_seeds.data()[(i * 8) + k];
        }
    }
    return words;
}

// The parameter that gives the number of values per record of the model's
// shaped column (a readout window's samples), or nullptr where it has none.
template <typename Model>
constexpr const char* shape_parameter() {
    const char* shape = nullptr;
    for_each_field(record_columns(std::type_identity<Model>{}), [&](const auto& column) {
        if (column.shape != nullptr) {
            shape = column.shape;
        }
    });
    return shape;
}

// An engine with one model per parameter set; where the model's records have
// a shaped column, the engine also learns its length.
template <typename Model>
ChannelEngine<Model> make_engine(const py::list& parameter_sets, const py::dict& spectra, const py::dict& names) {
    if (parameter_sets.empty()) {
        throw py::value_error("at least one parameter set is needed");
    }
    std::vector<Model> models;
    std::size_t waveform_samples = 0;
    for (const auto& set : parameter_sets) {
        const auto params = set.cast<py::dict>();
        models.push_back(make_model<Model>(params, spectra, names));
        if (const char* shape = shape_parameter<Model>(); shape != nullptr) {
            const int samples = param<int>(params, shape);
            waveform_samples = samples > 0 ? static_cast<std::size_t>(samples) : 0;
        }
    }
    return ChannelEngine<Model>(std::move(models), waveform_samples);
}

template <typename Model>
void register_engine(py::module_& m, const char* name) {
    using Engine = ChannelEngine<Model>;
    py::class_<Engine> engine(m, name);
    // The model's settings and record columns, as the batch layer describes
    // and checks them: lists of dicts (see field_table and column_table).
    engine.attr("fields") = field_table<Model>();
    engine.attr("columns") = column_table(record_columns(std::type_identity<Model>{}));
    engine
        .def(
            py::init([](const py::list& parameter_sets, const py::dict& spectra, const std::optional<py::dict>& names) {
                return make_engine<Model>(parameter_sets, spectra, names.value_or(py::dict()));
            }),
            py::arg("parameter_sets"), py::arg("spectra"), py::arg("names") = py::none(),
            "One model per parameter set (a dict of the model's constructor arguments by name, without the "
            "files and the seed), the files' contents given as spectra: a dict of (x, y) arrays by argument "
            "name. Each model is built by the model's own constructor from points in memory, with its checks and "
            "errors; names (a dict of str by argument name) gives what those errors call a spectrum, such as the "
            "file its points came from, else they call it by its argument name.")
        .def_property_readonly(
            "columns_seconds", [](const Engine& e) { return static_cast<double>(e.columns_nanoseconds()) * 1e-9; },
            "Time spent turning records into columns so far, in seconds.")
        .def_property_readonly("max_pe_time", &Engine::max_pe_time,
                               "The largest PE time magnitude (seconds) that one piece may hold.")
        .def("seed_sequential", &Engine::seed_sequential, py::arg("seed"),
             "Seeds the generator of sequential runs as the model's constructor seeds its own.")
        .def(
            "simulate",
            [](Engine& engine, const Int32s& channels, const Int64s& bounds, const Doubles& times, const Int64s& models,
               const std::optional<UInt32s>& seeds, const UInt64s& origin_ticks, const Doubles& origins,
               const CancelFlag& cancel, std::optional<py::list> early, bool truth, const std::optional<UInt8s>& kinds,
               const std::optional<UInt32s>& noise_seeds, bool saturation, const std::optional<Int64s>& origin_steps) {
                if (times.ndim() != 1) {
                    throw py::value_error("times must be one-dimensional");
                }
                const auto n_times = static_cast<std::size_t>(times.size());
                const auto pieces =
                    make_pieces(channels, bounds, models, seeds, origin_ticks, origins, origin_steps, n_times);
                const std::vector<double> pe_times(times.data(), times.data() + n_times);
                RunExtras extras;
                extras.truth = truth;
                extras.saturation = saturation;
                std::vector<std::uint8_t> kind_values;
                if (kinds) {
                    kind_values = kind_values_of(*kinds, n_times);
                    extras.kinds = &kind_values;
                }
                std::vector<std::array<std::uint32_t, 8>> noise_words;
                if (noise_seeds && !std::is_same_v<Model, ZozuvUza>) {
                    throw py::value_error("noise_seeds: only ZozuvUza fills its windows with baseline noise");
                }
                if (noise_seeds) {
                    noise_words = noise_words_of(*noise_seeds, pieces.size());
                    extras.noise_seeds = &noise_words;
                }
                typename Engine::Columns columns;
                std::vector<EarlyNotice> notices;
                auto* noted = early ? &notices : nullptr;
                try {
                    py::gil_scoped_release release;
                    columns = seeds ? engine.simulate_independent(pieces, pe_times, cancel.value, noted, extras)
                                    : engine.simulate_sequential(pieces, pe_times, cancel.value, noted, extras);
                } catch (const ChannelFailure& failure) {
                    raise_channel_failure(failure);
                }
                for (const auto& n : notices) {
                    early->append(py::make_tuple(n.channel, n.count, n.first_start, n.origin));
                }
                return to_dict<Model>(std::move(columns), extras);
            },
            py::arg("channels"), py::arg("bounds"), py::arg("times"), py::arg("models"), py::arg("seeds"),
            py::arg("origin_ticks"), py::arg("origins"), py::arg("cancel"), py::arg("early") = py::none(),
            py::arg("truth") = false, py::arg("kinds") = py::none(), py::arg("noise_seeds") = py::none(),
            py::arg("saturation") = true, py::arg("origin_steps") = py::none(),
            "Simulates a block of pieces: piece i is channel channels[i] with the PE times "
            "times[bounds[i]:bounds[i+1]] (counted from its origin: origins[i] seconds, which is origin_ticks[i] "
            "whole 4 ns ticks for ZozuvUza and whole TDC steps for MultiPMT, and for ZozuvUza origin_steps[i] whole "
            "ADC steps, 0 where not given) on parameter set models[i]. With seeds "
            "(shape (n, 8), uint32) each piece's generator is "
            "seeded from its row; with seeds None the sequential generator runs through the pieces in order. "
            "Returns the records as a dict of numpy arrays; ZozuvUza's adc_index (int64) is each window's first "
            "sample in whole ADC steps from the run's time origin, and time_ns (int64) that start in whole "
            "nanoseconds (the nearest, halves toward the later). With early a list, the readout windows that the "
            "policy WARN drops are not written to standard error but noted there, per piece that dropped any, as "
            "(channel, count, first window start counted from the piece's origin, origin). "
            "With truth, the dict also holds per record n_pe (uint32: the PEs whose largest share of pulse lies in the "
            "record), true_charge (float64: the sum of share x amplitude over its links), first_pe_time (float64 "
            "seconds in the run's time: the earliest arrival of the PEs counted in n_pe, NaN without), n_dark and "
            "n_afterpulse (uint32: of the PEs counted in n_pe), n_pe_any (uint32: every PE that reaches the record), "
            "and 'links', a dict of arrays record (int64 row), pe (int64 index into "
            "times), time (float64: origin + PE time + its drawn time offset, before placing on the PMT grid), "
            "amplitude (float64) and fraction (float64: the share of the PE's shaped pulse inside the record), one "
            "row per (record, PE) pair, by record then PE; kinds (uint8 per PE time: 0 "
            "input PE, 1 dark noise, 2 afterpulse; None: all input PEs) gives n_dark and n_afterpulse. Truth draws "
            "nothing and changes no record. With saturation (the default) the dict holds n_saturated (ZozuvUza, "
            "uint16: the window's samples that a clip cut) or adc_saturated (MultiPMT, bool). With noise_seeds "
            "(shape (n, 8), uint32; ZozuvUza only) every window sample without an ADC entry is filled with the "
            "ADC's conversion of a shaped value of 0 (offset plus noise, clipped and rounded), the standard "
            "variates drawn from a generator seeded from the piece's row, record by record, sample by sample; "
            "tail fill then does not apply. The interpreter lock is "
            "released while simulating; "
            "independent blocks may run on several threads at once, sequential ones may not.");
}

} // namespace

void register_engine(py::module_& m) {
    py::class_<CancelFlag>(m, "CancelFlag", "A flag that stops the blocks of a run between channels once set.")
        .def(py::init<>())
        .def("set", [](CancelFlag& f) { f.value.store(true); })
        .def("is_set", [](const CancelFlag& f) { return f.value.load(); });
    py::register_exception<Cancelled>(m, "Cancelled", PyExc_RuntimeError);
    m.attr("truth_columns") = column_table(truth_columns());
    m.attr("link_columns") = column_table(link_columns());
    register_engine<ZozuvUza>(m, "ZozuvUzaEngine");
    register_engine<MultiPMT>(m, "MultiPMTEngine");
}

} // namespace velmora::batch
