// The scope's point and trace datasets: what a record may look like, what is refused
// (leaving the dataset as it was), generations, and the bounds on what is kept.
#include <tellurix/lumenfold/scope/datasets.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace tellurix::lumenfold;
using host::Value;
using scope::PointDataset;
using scope::TraceDataset;
using cplx = std::complex<double>;

namespace {

Value names(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* n : list)
        out << QString::fromUtf8(n);
    return Value::str_list(out);
}

// The first column of every row of generation `age`, as reals.
std::vector<double> first_column(const scope::ColumnDataset& d, std::size_t age) {
    const scope::Generation& g = d.generation(age);
    return std::vector<double>(g.real(0), g.real(0) + g.rows());
}

std::vector<double> range(double from, double to) {
    std::vector<double> v;
    for (double x = from; x < to; ++x)
        v.push_back(x);
    return v;
}

} // namespace

// ---------------------------------------------------------------------------
// Accepted point records
// ---------------------------------------------------------------------------

struct RowCase {
    const char* name;
    Value record;
    std::vector<cplx> expected;
    std::vector<bool> complex_columns;
};

class PointRows : public ::testing::TestWithParam<RowCase> {};

TEST_P(PointRows, StoresOneValuePerColumn) {
    const RowCase& c = GetParam();
    PointDataset d;
    d.set_column_names(names({"a", "b", "c"}));
    d.append(c.record);
    ASSERT_EQ(d.generation_count(), 1u);
    const scope::Generation& g = d.generation(0);
    ASSERT_EQ(g.rows(), 1);
    for (int col = 0; col < 3; ++col) {
        EXPECT_EQ(g.value(col, 0), c.expected[static_cast<std::size_t>(col)]) << "column " << col;
        EXPECT_EQ(g.is_complex(col), c.complex_columns[static_cast<std::size_t>(col)])
            << "column " << col;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PointRows,
    ::testing::Values(
        RowCase{"ints", Value::list({1, -2, 3}), {1.0, -2.0, 3.0}, {false, false, false}},
        RowCase{
            "floats", Value::list({0.5, 1e300, -0.0}), {0.5, 1e300, -0.0}, {false, false, false}},
        RowCase{"tuple", Value::tuple({1, 2.5, 3}), {1.0, 2.5, 3.0}, {false, false, false}},
        RowCase{"complex_in_list",
                Value::list({1, cplx(2, -3), 4.0}),
                {1.0, cplx(2, -3), 4.0},
                {false, true, false}},
        RowCase{
            "float64_array", Value::float_array({7, 8, 9}), {7.0, 8.0, 9.0}, {false, false, false}},
        RowCase{"complex128_array",
                Value::complex_array({cplx(1, 1), cplx(0, 2), cplx(3, 0)}),
                {cplx(1, 1), cplx(0, 2), cplx(3, 0)},
                {true, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PointDataset, ColumnTurningComplexKeepsEarlierRowsReal) {
    PointDataset d;
    d.set_column_names(names({"t", "z"}));
    d.append(Value::list({0, 1.5}));
    d.append(Value::list({1, cplx(2, 3)}));
    d.append(Value::list({2, -1}));
    const scope::Generation& g = d.generation(0);
    EXPECT_FALSE(g.is_complex(0));
    ASSERT_TRUE(g.is_complex(1));
    EXPECT_EQ(g.value(1, 0), cplx(1.5, 0));
    EXPECT_EQ(g.value(1, 1), cplx(2, 3));
    EXPECT_EQ(g.value(1, 2), cplx(-1, 0));
}

// ---------------------------------------------------------------------------
// Refused records and names: the error says what was wrong, nothing changes
// ---------------------------------------------------------------------------

struct Rejection {
    const char* name;
    std::function<void(scope::ColumnDataset&)> act;
    bool type_error; // TypeError, else another std::invalid_argument
    const char* message;
};

class Rejections : public ::testing::TestWithParam<Rejection> {};

TEST_P(Rejections, ReportTheProblemAndChangeNothing) {
    const Rejection& r = GetParam();
    const bool traces = std::string(r.name).rfind("trace", 0) == 0;
    PointDataset points;
    TraceDataset trace_set;
    scope::ColumnDataset& d = traces ? static_cast<scope::ColumnDataset&>(trace_set) : points;
    if (std::string(r.name).find("before_names") == std::string::npos) {
        d.set_column_names(names({"t", "a", "b"}));
        if (traces)
            d.append(Value::list({Value::float_array({1, 2}), Value::float_array({3, 4}),
                                  Value::float_array({5, 6})}));
        else
            d.append(Value::list({1, 2, 3}));
    }
    const std::uint64_t revision = d.revision();
    const std::size_t held = d.rows_held();
    const QStringList before = d.column_names();
    try {
        r.act(d);
        ADD_FAILURE() << "accepted";
    } catch (const TypeError& e) {
        EXPECT_TRUE(r.type_error) << e.what();
        EXPECT_STREQ(e.what(), r.message);
    } catch (const std::invalid_argument& e) {
        EXPECT_FALSE(r.type_error) << e.what();
        EXPECT_STREQ(e.what(), r.message);
    }
    EXPECT_EQ(d.revision(), revision);
    EXPECT_EQ(d.rows_held(), held);
    EXPECT_EQ(d.column_names(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Bad, Rejections,
    ::testing::Values(
        Rejection{"names_as_tuple",
                  [](auto& d) {
                      d.set_column_names(Value::tuple({"x", "y"}));
                  },
                  true,
                  "PointDataset::set_column_names(): argument 'names' must be list of str, not "
                  "tuple"},
        Rejection{"names_as_str", [](auto& d) { d.set_column_names("x,y"); }, true,
                  "PointDataset::set_column_names(): argument 'names' must be list of str, not "
                  "str"},
        Rejection{"names_none", [](auto& d) { d.set_column_names(Value()); }, true,
                  "PointDataset::set_column_names(): argument 'names' must be list of str, not "
                  "none"},
        Rejection{"names_twice",
                  [](auto& d) {
                      d.set_column_names(names({"x", "y", "t", "y", "x", "x"}));
                  },
                  false,
                  "PointDataset::set_column_names(): the names 'y', 'x' are given more than "
                  "once; every column needs a name of its own"},
        Rejection{"names_with_int",
                  [](auto& d) {
                      d.set_column_names(Value::list({"x", 2}));
                  },
                  true,
                  "PointDataset::set_column_names(): argument 'names[1]' must be str, not int"},
        Rejection{"row_as_str", [](auto& d) { d.append("1,2,3"); }, true,
                  "PointDataset::append(): argument 'record' must be list, tuple, float64 array "
                  "or complex128 array, not str"},
        Rejection{"row_too_short",
                  [](auto& d) {
                      d.append(Value::list({1, 2}));
                  },
                  false,
                  "PointDataset::append(): the record has 2 value(s) but there are 3 columns "
                  "['t', 'a', 'b']"},
        Rejection{"row_too_long",
                  [](auto& d) {
                      d.append(Value::float_array({1, 2, 3, 4}));
                  },
                  false,
                  "PointDataset::append(): the record has 4 value(s) but there are 3 columns "
                  "['t', 'a', 'b']"},
        Rejection{"row_with_str",
                  [](auto& d) {
                      d.append(Value::list({1, "2", 3}));
                  },
                  true,
                  "PointDataset::append(): argument 'record[1]' must be int, float or complex, "
                  "not str"},
        Rejection{"row_with_bool",
                  [](auto& d) {
                      d.append(Value::list({1, 2, true}));
                  },
                  true,
                  "PointDataset::append(): argument 'record[2]' must be int, float or complex, "
                  "not bool"},
        Rejection{"row_with_none",
                  [](auto& d) {
                      d.append(Value::tuple({Value(), 2, 3}));
                  },
                  true,
                  "PointDataset::append(): argument 'record[0]' must be int, float or complex, "
                  "not none"},
        Rejection{"row_before_names", [](auto& d) { d.append(Value::list({1})); }, false,
                  "PointDataset::append(): no column names yet; send \"PN\" first"},
        Rejection{"trace_names_with_none",
                  [](auto& d) { d.set_column_names(Value::list({Value()})); }, true,
                  "TraceDataset::set_column_names(): argument 'names[0]' must be str, not none"},
        Rejection{"trace_names_twice",
                  [](auto& d) {
                      d.set_column_names(names({"f", "f"}));
                  },
                  false,
                  "TraceDataset::set_column_names(): the name 'f' is given more than once; every "
                  "column needs a name of its own"},
        Rejection{"trace_as_array",
                  [](auto& d) {
                      d.append(Value::float_array({1, 2, 3}));
                  },
                  true,
                  "TraceDataset::append(): argument 'record' must be list of arrays, one per "
                  "column, not float64 array"},
        Rejection{"trace_too_few_columns",
                  [](auto& d) {
                      d.append(Value::list({Value::float_array({1}), Value::float_array({2})}));
                  },
                  false,
                  "TraceDataset::append(): the trace has 2 array(s) but there are 3 columns "
                  "['t', 'a', 'b']"},
        Rejection{"trace_unequal_lengths",
                  [](auto& d) {
                      d.append(Value::list({Value::float_array({1, 2, 3}),
                                            Value::complex_array({1, 2, 3}), Value::list({1, 2})}));
                  },
                  false,
                  "TraceDataset::append(): column 'b' has 2 value(s) but column 't' has 3; "
                  "every column of a trace needs the same length"},
        Rejection{"trace_with_str_column",
                  [](auto& d) {
                      d.append(Value::list({Value::float_array({1}), "a", Value::list({1})}));
                  },
                  true,
                  "TraceDataset::append(): argument 'record[1]' must be float64 array, "
                  "complex128 array or list of numbers, not str"},
        Rejection{"trace_with_str_value",
                  [](auto& d) {
                      d.append(Value::list(
                          {Value::list({1, 2}), Value::list({1, 2}), Value::list({3, "x"})}));
                  },
                  true,
                  "TraceDataset::append(): argument 'record[2][1]' must be int, float or "
                  "complex, not str"},
        Rejection{"trace_before_names",
                  [](auto& d) { d.append(Value::list({Value::float_array({1})})); }, false,
                  "TraceDataset::append(): no column names yet; send \"TN\" first"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Generations, history and bounds
// ---------------------------------------------------------------------------

TEST(PointDataset, RollClosesTheGenerationAndTheNewestComesFirst) {
    PointDataset d;
    d.set_column_names(names({"t"}));
    for (int g = 0; g < 3; ++g) {
        for (int i = 0; i < 2; ++i)
            d.append(Value::list({10 * g + i}));
        d.roll();
    }
    d.roll(); // rolling an empty generation adds no empty history
    d.append(Value::list({99}));
    ASSERT_EQ(d.generation_count(), 4u);
    EXPECT_EQ(first_column(d, 0), (std::vector<double>{99}));
    EXPECT_EQ(first_column(d, 1), (std::vector<double>{20, 21}));
    EXPECT_EQ(first_column(d, 2), (std::vector<double>{10, 11}));
    EXPECT_EQ(first_column(d, 3), (std::vector<double>{0, 1}));
    EXPECT_NE(d.generation(0).uid(), d.generation(1).uid());
}

TEST(PointDataset, KeepsAtMostMaxGenerations) {
    PointDataset d(1000, 3);
    d.set_column_names(names({"t"}));
    for (int g = 0; g < 6; ++g) {
        d.append(Value::list({g}));
        d.roll();
    }
    d.append(Value::list({6}));
    ASSERT_EQ(d.generation_count(), 3u);
    EXPECT_EQ(first_column(d, 0), (std::vector<double>{6}));
    EXPECT_EQ(first_column(d, 2), (std::vector<double>{4}));
}

struct CapCase {
    std::size_t cap;
    std::vector<int> generation_sizes;         // rows appended per generation, rolled in between
    std::vector<std::vector<double>> expected; // first column per generation, newest first
};

class RowCap : public ::testing::TestWithParam<CapCase> {};

TEST_P(RowCap, DropsTheOldestRowsFirst) {
    const CapCase& c = GetParam();
    PointDataset d(c.cap, 8);
    d.set_column_names(names({"n", "twice"}));
    int n = 0;
    for (std::size_t g = 0; g < c.generation_sizes.size(); ++g) {
        if (g > 0)
            d.roll();
        for (int i = 0; i < c.generation_sizes[g]; ++i, ++n)
            d.append(Value::list({n, 2 * n}));
    }
    EXPECT_LE(d.rows_held(), c.cap);
    ASSERT_EQ(d.generation_count(), c.expected.size());
    for (std::size_t age = 0; age < c.expected.size(); ++age) {
        EXPECT_EQ(first_column(d, age), c.expected[age]) << "age " << age;
        const scope::Generation& g = d.generation(age);
        for (int r = 0; r < g.rows(); ++r)
            ASSERT_EQ(g.real(1)[r], 2 * g.real(0)[r]) << "columns out of step at row " << r;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, RowCap,
    ::testing::Values(
        CapCase{10, {25}, {range(15, 25)}}, CapCase{10, {6, 6}, {range(6, 12), range(2, 6)}},
        CapCase{10, {6, 10}, {range(6, 16)}},
        CapCase{10, {3, 3, 6}, {range(6, 12), range(3, 6), range(2, 3)}},
        // Enough rows to pass the point where dropped rows are compacted away, several times.
        CapCase{5000, {100'000}, {range(95'000, 100'000)}},
        CapCase{5000, {30'000, 30'000}, {range(55'000, 60'000)}}));

// The byte bound: rows of wide (or complex) columns reach it long before the row count.
struct ByteCapCase {
    const char* name;
    std::size_t max_bytes;
    std::vector<int> generation_sizes; // rows appended per generation, rolled in between
    int complex_from;                  // first row whose second column is complex (-1: none)
    std::vector<std::vector<double>> expected; // first column per generation, newest first
};

class ByteCap : public ::testing::TestWithParam<ByteCapCase> {};

TEST_P(ByteCap, DropsTheOldestRowsFirst) {
    const ByteCapCase& c = GetParam();
    PointDataset d(1'000'000, 8, c.max_bytes);
    d.set_column_names(names({"n", "twice"}));
    int n = 0;
    for (std::size_t g = 0; g < c.generation_sizes.size(); ++g) {
        if (g > 0)
            d.roll();
        for (int i = 0; i < c.generation_sizes[g]; ++i, ++n) {
            if (c.complex_from >= 0 && n >= c.complex_from)
                d.append(Value::list({n, cplx(2 * n, 1)}));
            else
                d.append(Value::list({n, 2 * n}));
            ASSERT_LE(d.bytes_held(), c.max_bytes) << "after row " << n;
        }
    }
    ASSERT_EQ(d.generation_count(), c.expected.size());
    std::size_t bytes = 0;
    for (std::size_t age = 0; age < c.expected.size(); ++age) {
        EXPECT_EQ(first_column(d, age), c.expected[age]) << "age " << age;
        const scope::Generation& g = d.generation(age);
        bytes += std::size_t(g.rows()) * (g.is_complex(1) ? 24 : 16);
        for (int r = 0; r < g.rows(); ++r)
            ASSERT_EQ(g.real(1)[r], 2 * g.real(0)[r]) << "columns out of step at row " << r;
    }
    EXPECT_EQ(d.bytes_held(), bytes) << "8 bytes per real value, 16 per complex one";
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, ByteCap,
    ::testing::Values(
        ByteCapCase{"one_generation", 160, {25}, -1, {range(15, 25)}},
        ByteCapCase{"not_a_whole_row", 175, {25}, -1, {range(15, 25)}},
        ByteCapCase{"older_generation_first", 160, {6, 6}, -1, {range(6, 12), range(2, 6)}},
        // A complex newest generation takes 24 bytes a row: the real one before it goes.
        ByteCapCase{"complex_takes_more", 250, {10, 10}, 10, {range(10, 20)}},
        ByteCapCase{"complex_and_real", 300, {10, 10}, 10, {range(10, 20), range(7, 10)}},
        ByteCapCase{"turns_complex_midway", 240, {30}, 25, {range(20, 30)}},
        // Enough rows to reuse the room of dropped rows many times over.
        ByteCapCase{"long_ring", 16 * 5000, {100'000}, -1, {range(95'000, 100'000)}},
        ByteCapCase{"long_ring_rolled", 16 * 5000, {30'000, 30'000}, -1, {range(55'000, 60'000)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Datasets, ARecordLargerThanTheByteBoundIsRefused) {
    PointDataset points(100, 8, 40);
    points.set_column_names(names({"a", "b"}));
    points.append(Value::list({1, 2}));
    EXPECT_NO_THROW(points.append(Value::list({1, cplx(2, 3)})))
        << "24 bytes fit once the oldest row is dropped";
    EXPECT_EQ(points.rows_held(), 1u);
    points.set_column_names(names({"a", "b", "c", "d", "e", "f"}));
    try {
        points.append(Value::list({1, 2, 3, 4, 5, 6}));
        ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "PointDataset::append(): the row takes 48 bytes, more than the 40 "
                               "bytes this dataset may hold");
    }
    EXPECT_EQ(points.rows_held(), 0u);

    TraceDataset traces(8, 100);
    traces.set_column_names(names({"f", "s"}));
    for (int i = 0; i < 3; ++i) // 48 bytes each: two fit
        traces.append(Value::list({Value::float_array({1, 2, double(i)}), Value::list({i, i, i})}));
    ASSERT_EQ(traces.generation_count(), 2u);
    EXPECT_EQ(first_column(traces, 0)[2], 2.0);
    EXPECT_EQ(first_column(traces, 1)[2], 1.0);
    EXPECT_EQ(traces.bytes_held(), 96u);
    try {
        traces.append(Value::list(
            {Value::float_array({1, 2, 3, 4, 5, 6, 7}), Value::list({1, 2, 3, 4, 5, 6, 7})}));
        ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "TraceDataset::append(): the trace takes 112 bytes, more than the "
                               "100 bytes this dataset may hold");
    }
    EXPECT_EQ(traces.generation_count(), 2u) << "a refused trace changes nothing";
}

TEST(PointDataset, NewNamesDropTheDataTheSameNamesKeepIt) {
    PointDataset d;
    d.set_column_names(names({"t", "v"}));
    d.append(Value::list({1, 2}));
    d.roll();
    d.append(Value::list({3, 4}));
    d.set_column_names(names({"t", "v"}));
    EXPECT_EQ(d.rows_held(), 2u);
    d.set_column_names(names({"t", "v", "w"}));
    EXPECT_EQ(d.rows_held(), 0u);
    EXPECT_EQ(d.column_names(), (QStringList{"t", "v", "w"}));
    d.append(Value::list({1, 2, 3}));
    EXPECT_EQ(d.rows_held(), 1u);
}

TEST(Datasets, ClearHistoryKeepsOnlyTheNewest) {
    PointDataset p;
    p.set_column_names(names({"t"}));
    p.append(Value::list({1}));
    p.roll();
    p.append(Value::list({2}));
    TraceDataset t;
    t.set_column_names(names({"t"}));
    t.append(Value::list({Value::list({1, 2})}));
    t.append(Value::list({Value::list({3, 4})}));
    p.clear_history();
    t.clear_history();
    ASSERT_EQ(p.generation_count(), 1u);
    EXPECT_EQ(first_column(p, 0), (std::vector<double>{2}));
    ASSERT_EQ(t.generation_count(), 1u);
    EXPECT_EQ(first_column(t, 0), (std::vector<double>{3, 4}));
}

TEST(TraceDataset, KeepsTheNewestTracesUpToItsCap) {
    TraceDataset d(3);
    d.set_column_names(names({"f", "s"}));
    for (int i = 0; i < 5; ++i)
        d.append(Value::list({Value::float_array({double(i), 0}), Value::list({i, i})}));
    ASSERT_EQ(d.generation_count(), 3u);
    for (std::size_t age = 0; age < 3; ++age)
        EXPECT_EQ(first_column(d, age)[0], 4.0 - double(age));
    EXPECT_EQ(d.rows_held(), 6u);
}

TEST(TraceDataset, StoresEveryColumnKindAndSharesFloatArrays) {
    TraceDataset d;
    d.set_column_names(names({"f", "re", "z", "mixed"}));
    QVector<double> f{1, 2, 3};
    d.append(Value::list({Value::float_array(f), Value::list({1, 2.5, -3}),
                          Value::complex_array({cplx(1, 2), cplx(3, 4), cplx(5, 6)}),
                          Value::tuple({1, cplx(0, 1), 2})}));
    const scope::Generation& g = d.generation(0);
    ASSERT_EQ(g.rows(), 3);
    EXPECT_EQ(g.real(0), f.constData()) << "a float64 array is kept without a copy";
    EXPECT_FALSE(g.is_complex(1));
    EXPECT_EQ(g.value(1, 2), cplx(-3, 0));
    EXPECT_EQ(g.value(2, 1), cplx(3, 4));
    EXPECT_TRUE(g.is_complex(3));
    EXPECT_EQ(g.value(3, 0), cplx(1, 0));
    EXPECT_EQ(g.value(3, 1), cplx(0, 1));
}

TEST(TraceDataset, EmptyTracesAreTraces) {
    TraceDataset d;
    d.set_column_names(names({"f", "s"}));
    d.append(Value::list({Value::float_array({}), Value::list({})}));
    ASSERT_EQ(d.generation_count(), 1u);
    EXPECT_EQ(d.generation(0).rows(), 0);
}

TEST(Datasets, RevisionsTellWhatChanged) {
    PointDataset d;
    d.set_column_names(names({"t"}));
    d.append(Value::list({1}));
    const std::uint64_t uid = d.generation(0).uid(), rev = d.generation(0).revision();
    d.append(Value::list({2}));
    EXPECT_EQ(d.generation(0).uid(), uid);
    EXPECT_GT(d.generation(0).revision(), rev);
    d.roll();
    EXPECT_EQ(d.generation(1).uid(), uid);
    EXPECT_NE(d.generation(0).uid(), uid);
}
