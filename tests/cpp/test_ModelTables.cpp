// The models' field tables and the engine's column tables against the structs
// they describe: every member of a configuration once, every column vector of
// the engine's column structs once, and every column the engine fills.
#include "TestFiles.h"
#include "batch/ChannelEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;

// Converts to any type: brace-initialising an aggregate with n of them works
// exactly when it has at least n members (none of them is itself filled by
// brace elision, since this converts to every member's type).
struct AnyValue {
    template <typename T>
    operator T() const; // declared only: used in unevaluated brace-initialisation
};

template <typename T, std::size_t... I>
constexpr bool takes(std::index_sequence<I...> /*count*/) {
    return requires { T{(static_cast<void>(I), AnyValue{})...}; };
}

// The number of members of the aggregate T.
template <typename T, std::size_t N = 0>
constexpr std::size_t member_count() {
    if constexpr (takes<T>(std::make_index_sequence<N + 1>{})) {
        return member_count<T, N + 1>();
    } else {
        return N;
    }
}

// Where a member lies in its struct, in bytes.
template <typename S, typename M>
std::ptrdiff_t offset_of(M S::* member) {
    static const S object{};
    return reinterpret_cast<const char*>(&(object.*member)) - reinterpret_cast<const char*>(&object);
}

// The offsets of the members that a table's entries point to.
template <typename Table>
std::vector<std::ptrdiff_t> offsets(const Table& table) {
    std::vector<std::ptrdiff_t> out;
    for_each_field(table, [&](const auto& entry) { out.push_back(offset_of(entry.member)); });
    return out;
}

bool distinct(std::vector<std::ptrdiff_t> values) {
    std::sort(values.begin(), values.end());
    return std::adjacent_find(values.begin(), values.end()) == values.end();
}

template <typename Model>
class FieldTable : public ::testing::Test {};
using Models = ::testing::Types<ZozuvUza, MultiPMT>;
TYPED_TEST_SUITE(FieldTable, Models);

TYPED_TEST(FieldTable, ListsEveryMemberOfTheConfigurationOnce) {
    using Config = typename TypeParam::Config;
    constexpr auto fields = TypeParam::fields();
    EXPECT_EQ(std::tuple_size_v<decltype(fields)>, member_count<Config>());
    const auto at = offsets(fields);
    EXPECT_TRUE(distinct(at)) << "a member is listed twice";
    // In the members' own order, which is the constructors'.
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end()));
}

TYPED_TEST(FieldTable, SaysWhatAConfigNeedsOfEachField) {
    std::set<std::string> names;
    std::set<std::string> reals;
    std::vector<int> override_columns;
    std::vector<std::string> grids;
    for_each_field(TypeParam::fields(), [&](const auto& field) {
        const std::string name = field.name;
        EXPECT_TRUE(names.insert(name).second) << name << " named twice";
        if (field.kind == FieldKind::real) {
            reals.insert(name);
        }
        if (field.kind == FieldKind::seed) {
            return;
        }
        EXPECT_FALSE(std::string(field.meaning).empty()) << name;
        if (field.minimum && field.maximum) {
            EXPECT_LE(*field.minimum, *field.maximum) << name;
        }
        EXPECT_EQ(field.kind == FieldKind::choice, !field.choices.empty()) << name;
        if (field.default_name != nullptr) {
            EXPECT_TRUE(std::any_of(field.choices.begin(), field.choices.end(),
                                    [&](const auto& choice) { return choice.first == field.default_name; }))
                << name << ": the default is none of its choices";
        }
        if (field.override_column != 0) {
            override_columns.push_back(field.override_column);
            EXPECT_TRUE(field.kind == FieldKind::real || field.kind == FieldKind::integer) << name;
        }
        if (field.grid != nullptr) {
            EXPECT_EQ(field.kind, FieldKind::spectrum) << name;
            grids.emplace_back(field.grid);
        }
        if (field.late || field.plausible != Plausible::any) {
            EXPECT_TRUE(field.kind == FieldKind::real || field.kind == FieldKind::spectrum) << name;
        }
    });
    EXPECT_EQ(names.count("seed"), 1U);
    // A grid is a step of the same model; override columns are numbered 1, 2, ... without gaps.
    for (const auto& grid : grids) {
        EXPECT_EQ(reals.count(grid), 1U) << grid;
    }
    std::sort(override_columns.begin(), override_columns.end());
    for (std::size_t i = 0; i < override_columns.size(); ++i) {
        EXPECT_EQ(override_columns[i], static_cast<int>(i) + 1);
    }
    EXPECT_FALSE(override_columns.empty());
}

template <typename Table>
std::set<std::string> column_names(const Table& table) {
    std::set<std::string> names;
    for_each_field(table, [&](const auto& column) { EXPECT_TRUE(names.insert(column.name).second) << column.name; });
    return names;
}

TEST(ColumnTables, ListEveryColumnVectorOfTheEnginesStructsOnce) {
    // Besides its columns, each struct holds its shape and step and the truth columns.
    const auto zozuvuza = record_columns(std::type_identity<ZozuvUza>{});
    EXPECT_EQ(std::tuple_size_v<decltype(zozuvuza)> + 3, member_count<ZozuvUzaColumns>());
    auto at = offsets(zozuvuza);
    at.insert(at.end(), {offset_of(&ZozuvUzaColumns::waveform_samples), offset_of(&ZozuvUzaColumns::adc_step),
                         offset_of(&ZozuvUzaColumns::truth)});
    EXPECT_TRUE(distinct(at));

    const auto multipmt = record_columns(std::type_identity<MultiPMT>{});
    EXPECT_EQ(std::tuple_size_v<decltype(multipmt)> + 2, member_count<MultiPMTColumns>());
    at = offsets(multipmt);
    at.insert(at.end(), {offset_of(&MultiPMTColumns::tdc_step), offset_of(&MultiPMTColumns::truth)});
    EXPECT_TRUE(distinct(at));

    EXPECT_EQ(std::tuple_size_v<decltype(truth_columns())> + std::tuple_size_v<decltype(link_columns())>,
              member_count<TruthColumns>());
    at = offsets(truth_columns());
    const auto links = offsets(link_columns());
    at.insert(at.end(), links.begin(), links.end());
    EXPECT_TRUE(distinct(at));

    // A record's columns and the truth columns share no name: a run with truth writes them side by side.
    for (const auto& table : {column_names(zozuvuza), column_names(multipmt)}) {
        for (const auto& name : column_names(truth_columns())) {
            EXPECT_EQ(table.count(name), 0U) << name;
        }
    }
}

// Every column of a table holds `rows` values per record (a shaped column
// `width` per record) in `columns`.
template <typename Columns, typename Table>
void expect_filled(const Columns& columns, const Table& table, std::size_t rows, std::size_t width) {
    for_each_field(table, [&](const auto& column) {
        const std::size_t per_row = column.shape != nullptr ? width : 1;
        EXPECT_EQ((columns.*column.member).size(), rows * per_row) << column.name;
    });
}

class EngineColumns : public ::testing::Test {
  protected:
    static constexpr double kPmtStep = 1e-10;
    static constexpr double kTotStep = 5e-10;
    static constexpr double kAdcStep = 4e-9;
    static constexpr int kSamples = 16;

    static std::string shape(int n, double step, double rise, double decay) {
        std::vector<std::pair<double, double>> points;
        for (int i = 0; i < n; ++i) {
            points.emplace_back(i * step, (1.0 - std::exp(-i / rise)) * std::exp(-i / decay));
        }
        return points_text(points);
    }

    TempFile time_{points_text({{0, 1}, {1e-9, 2}, {3e-9, 0}})};
    TempFile amplitude_{points_text({{0.2, 0}, {1, 1}, {2, 0}})};
    TempFile pulse_{shape(300, kPmtStep, 10.0, 60.0)};
    TempFile tot_pulse_{shape(40, kTotStep, 4.0, 8.0)};
    std::atomic<bool> cancel_{false};

    // One piece of flashes of 10 PEs every microsecond.
    static std::vector<double> flashes() {
        std::vector<double> t;
        for (int f = 1; f <= 5; ++f) {
            for (int k = 0; k < 10; ++k) {
                t.push_back((f * 1e-6) + (k * 1e-11));
            }
        }
        return t;
    }
    static std::vector<ChannelPiece> one_piece(std::size_t n) {
        ChannelPiece p;
        p.channel = 3;
        p.last = n;
        p.seed = {1, 2, 3, 4, 5, 6, 7, 8};
        return {p};
    }
};

TEST_F(EngineColumns, TheEngineFillsEveryColumnOfItsTables) {
    const auto times = flashes();
    RunExtras extras;
    extras.truth = true;
    extras.saturation = true;
    const ChannelEngine<ZozuvUza> zozuvuza(
        {ZozuvUza(time_.path(), amplitude_.path(), kPmtStep, kAdcStep, pulse_.path(), -1, 40.0, 10.0, 4000.0, 1.5,
                  4095.0, kSamples, kSamples, {1, 1}, 40, 1, -4, 0, ZozuvUza::EarlyHandling::ZERO)},
        kSamples);
    const auto z = zozuvuza.simulate_independent(one_piece(times.size()), times, cancel_, nullptr, extras);
    ASSERT_GT(z.rows(), 0U);
    expect_filled(z, record_columns(std::type_identity<ZozuvUza>{}), z.rows(), kSamples);
    expect_filled(z.truth, truth_columns(), z.rows(), 1);
    ASSERT_GT(z.truth.link_record.size(), 0U);
    expect_filled(z.truth, link_columns(), z.truth.link_record.size(), 1);

    const ChannelEngine<MultiPMT> multipmt(
        {MultiPMT(time_.path(), amplitude_.path(), kPmtStep, kTotStep, tot_pulse_.path(), 0.3, 5e-9, 0.05, 0.2e-9,
                  kAdcStep, pulse_.path(), -1, 40.0, 10.0, 1.5, 4095.0, 8e-9, 0)},
        0);
    const auto m = multipmt.simulate_independent(one_piece(times.size()), times, cancel_, nullptr, extras);
    ASSERT_GT(m.rows(), 0U);
    expect_filled(m, record_columns(std::type_identity<MultiPMT>{}), m.rows(), 1);
    expect_filled(m.truth, truth_columns(), m.rows(), 1);
    ASSERT_GT(m.truth.link_record.size(), 0U);
    expect_filled(m.truth, link_columns(), m.truth.link_record.size(), 1);
}

} // namespace
} // namespace velmora
