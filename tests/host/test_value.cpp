// Value: kinds, conversions, equality, checked accessors and sharing of bulk data.
#include <tellurix/lumenfold/host.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using tellurix::lumenfold::TypeError;
using tellurix::lumenfold::host::Value;
using Kind = Value::Kind;

namespace {

// ---------------------------------------------------------------------------
// Construction: which kind each C++ value becomes
// ---------------------------------------------------------------------------

struct KindRow {
    const char* label;
    Value value;
    Kind kind;
    const char* type_name;
};

class ValueKind : public ::testing::TestWithParam<KindRow> {};

TEST_P(ValueKind, ConstructionGivesKindAndTypeName) {
    const KindRow& row = GetParam();
    EXPECT_EQ(row.value.kind(), row.kind);
    EXPECT_EQ(row.value.type_name(), QString::fromLatin1(row.type_name));
    EXPECT_EQ(Value::type_name(row.kind), QString::fromLatin1(row.type_name));
}

INSTANTIATE_TEST_SUITE_P(
    AllSources, ValueKind,
    ::testing::Values(
        KindRow{"default", Value(), Kind::None, "none"},
        KindRow{"nullptr", Value(nullptr), Kind::None, "none"},
        KindRow{"true", Value(true), Kind::Bool, "bool"},
        KindRow{"false", Value(false), Kind::Bool, "bool"},
        KindRow{"int", Value(-7), Kind::Int, "int"}, KindRow{"long", Value(7L), Kind::Int, "int"},
        KindRow{"long_long", Value(7LL), Kind::Int, "int"},
        KindRow{"unsigned", Value(7U), Kind::Int, "int"},
        KindRow{"unsigned_long", Value(7UL), Kind::Int, "int"},
        KindRow{"short", Value(static_cast<short>(7)), Kind::Int, "int"},
        KindRow{"uint8", Value(static_cast<std::uint8_t>(200)), Kind::Int, "int"},
        KindRow{"int64_min", Value(std::numeric_limits<std::int64_t>::min()), Kind::Int, "int"},
        KindRow{"double", Value(2.5), Kind::Float, "float"},
        KindRow{"float", Value(2.5F), Kind::Float, "float"},
        KindRow{"complex", Value(std::complex<double>(1, 2)), Kind::Complex, "complex"},
        KindRow{"qstring", Value(QStringLiteral("PD")), Kind::Str, "str"},
        KindRow{"literal", Value("PD"), Kind::Str, "str"},
        KindRow{"empty_literal", Value(""), Kind::Str, "str"},
        KindRow{"bytes", Value::bytes("ab"), Kind::Bytes, "bytes"},
        KindRow{"list", Value::list({1, 2}), Kind::List, "list"},
        KindRow{"tuple", Value::tuple({1, 2}), Kind::Tuple, "tuple"},
        KindRow{"str_list", Value::str_list({"a"}), Kind::List, "list"},
        KindRow{"float_array", Value::float_array({1.0}), Kind::FloatArray, "float64 array"},
        KindRow{"complex_array", Value::complex_array({{1, 1}}), Kind::ComplexArray,
                "complex128 array"}),
    [](const auto& info) { return std::string(info.param.label); });

// A string literal passed where a Value is expected must arrive as str: a
// pointer-to-bool conversion would silently turn every command word into True.
Kind kind_of(const Value& v) {
    return v.kind();
}

TEST(ValueConversion, StringLiteralArgumentIsStrNeverBool) {
    EXPECT_EQ(kind_of("ROLL"), Kind::Str);
    EXPECT_EQ(Value("ROLL").as_str(), QStringLiteral("ROLL"));
    const std::vector<Value> items = {"a", true, 1};
    EXPECT_EQ(items[0].kind(), Kind::Str);
    EXPECT_EQ(items[1].kind(), Kind::Bool);
    EXPECT_EQ(items[2].kind(), Kind::Int);
}

TEST(ValueConversion, IntegersKeepTheirValueUpToSixtyFourSignedBits) {
    constexpr auto max64 = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(Value(static_cast<std::uint64_t>(max64)).as_int(), max64);
    EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::min()).as_int(),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Value(std::numeric_limits<unsigned>::max()).as_int(),
              std::int64_t{std::numeric_limits<unsigned>::max()});
    EXPECT_EQ(Value(static_cast<std::uint8_t>(255)).as_int(), 255);
}

TEST(ValueConversion, UnsignedAboveInt64MaxIsRejectedNotWrapped) {
    constexpr auto over = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    EXPECT_THROW(Value{over}, std::out_of_range);
    EXPECT_THROW(Value{std::numeric_limits<std::uint64_t>::max()}, std::out_of_range);
    EXPECT_THROW(Value{std::numeric_limits<unsigned long long>::max()}, std::out_of_range);
}

TEST(ValueConversion, WideningAccessors) {
    EXPECT_EQ(Value(3).as_float(), 3.0);
    EXPECT_EQ(Value(3).as_complex(), std::complex<double>(3, 0));
    EXPECT_EQ(Value(2.5).as_complex(), std::complex<double>(2.5, 0));
    // bool is its own kind here: a flag is not silently a number.
    EXPECT_THROW(Value(true).as_int(), TypeError);
    EXPECT_THROW(Value(true).as_float(), TypeError);
    EXPECT_THROW(Value(2.0).as_int(), TypeError);
}

// ---------------------------------------------------------------------------
// Equality
// ---------------------------------------------------------------------------

struct EqualityRow {
    const char* label;
    Value a, b;
    bool equal;
};

class ValueEquality : public ::testing::TestWithParam<EqualityRow> {};

TEST_P(ValueEquality, ComparesKindThenContent) {
    const EqualityRow& row = GetParam();
    EXPECT_EQ(row.a == row.b, row.equal);
    EXPECT_EQ(row.b == row.a, row.equal);
    EXPECT_EQ(row.a != row.b, !row.equal);
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Pairs, ValueEquality,
    ::testing::Values(
        EqualityRow{"none_none", Value(), Value(nullptr), true},
        EqualityRow{"none_false", Value(), false, false},
        EqualityRow{"none_zero", Value(), 0, false},
        EqualityRow{"none_empty_str", Value(), "", false},
        EqualityRow{"false_zero", false, 0, false}, EqualityRow{"int_float", 1, 1.0, false},
        EqualityRow{"int_int", 1, 1L, true}, EqualityRow{"float_float", 0.5, 0.5, true},
        EqualityRow{"nan_nan", kNan, kNan, false},
        EqualityRow{"str_bytes", "a", Value::bytes("a"), false},
        EqualityRow{"list_tuple", Value::list({1, 2}), Value::tuple({1, 2}), false},
        EqualityRow{"list_list", Value::list({1, "x"}), Value::list({1, "x"}), true},
        EqualityRow{"list_order", Value::list({1, 2}), Value::list({2, 1}), false},
        EqualityRow{"nested", Value::list({Value::tuple({1})}), Value::list({Value::tuple({1})}),
                    true},
        EqualityRow{"nested_kind", Value::list({Value::tuple({1})}),
                    Value::list({Value::list({1})}), false},
        EqualityRow{"str_list", Value::str_list({"a", "b"}), Value::list({"a", "b"}), true},
        EqualityRow{"float_array", Value::float_array({1, 2}), Value::float_array({1, 2}), true},
        EqualityRow{"float_array_vs_list", Value::float_array({1, 2}), Value::list({1.0, 2.0}),
                    false},
        EqualityRow{"complex", std::complex<double>(1, 2), std::complex<double>(1, 2), true},
        EqualityRow{"complex_float", std::complex<double>(1, 0), 1.0, false}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Checked accessors
// ---------------------------------------------------------------------------

struct AccessorRow {
    const char* label;
    std::function<void()> call;
    const char* message;
};

class ValueAccessorError : public ::testing::TestWithParam<AccessorRow> {};

TEST_P(ValueAccessorError, ThrowsTypeErrorWithExactMessage) {
    const AccessorRow& row = GetParam();
    try {
        row.call();
        ADD_FAILURE() << "no TypeError";
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), row.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllAccessors, ValueAccessorError,
    ::testing::Values(
        AccessorRow{"named", [] { Value(5).as_str("set_point_text", "text"); },
                    "set_point_text(): argument 'text' must be str, not int"},
        AccessorRow{"none_as_str", [] { Value().as_str("set_trace_text", "text"); },
                    "set_trace_text(): argument 'text' must be str, not none"},
        AccessorRow{"default_names", [] { Value("x").as_int(); },
                    "Value::as_int(): argument 'value' must be int, not str"},
        AccessorRow{"bool", [] { Value(0).as_bool(); },
                    "Value::as_bool(): argument 'value' must be bool, not int"},
        AccessorRow{"float", [] { Value("1").as_float("f", "x"); },
                    "f(): argument 'x' must be float, not str"},
        AccessorRow{"complex", [] { Value::list({}).as_complex(); },
                    "Value::as_complex(): argument 'value' must be complex, not list"},
        AccessorRow{"bytes", [] { Value("b").as_bytes(); },
                    "Value::as_bytes(): argument 'value' must be bytes, not str"},
        AccessorRow{"items", [] { Value::float_array({}).items("set_column_names", "names"); },
                    "set_column_names(): argument 'names' must be list or tuple, not float64 "
                    "array"},
        AccessorRow{"float_array", [] { Value::complex_array({}).as_float_array(); },
                    "Value::as_float_array(): argument 'value' must be float64 array, not "
                    "complex128 array"},
        AccessorRow{"complex_array", [] { Value(1.5).as_complex_array(); },
                    "Value::as_complex_array(): argument 'value' must be complex128 array, not "
                    "float"},
        AccessorRow{"size", [] { (void)Value("ab").size(); },
                    "Value::size(): argument 'value' must be list or tuple, not str"},
        AccessorRow{"index", [] { (void)Value(Value::bytes("ab"))[0]; },
                    "Value::operator[](): argument 'value' must be list or tuple, not bytes"},
        AccessorRow{"type_error", [] { Value(true).type_error("op", "p", "thing"); },
                    "op(): argument 'p' must be thing, not bool"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ValueAccessor, TypeErrorKeepsItsParts) {
    try {
        Value(Value::tuple({})).as_str("set_point_text", "text");
        FAIL() << "no TypeError";
    } catch (const TypeError& e) {
        EXPECT_EQ(e.operation(), QStringLiteral("set_point_text"));
        EXPECT_EQ(e.parameter(), QStringLiteral("text"));
        EXPECT_EQ(e.expected(), QStringLiteral("str"));
        EXPECT_EQ(e.given(), QStringLiteral("tuple"));
        const std::invalid_argument& base = e; // callers may catch the standard base
        EXPECT_NE(std::string(base.what()).find("not tuple"), std::string::npos);
    }
}

TEST(ValueAccessor, ElementsByIndexAndOutOfRange) {
    const Value t = Value::tuple({"PD", Value::list({1, 2.5})});
    ASSERT_EQ(t.size(), 2U);
    EXPECT_EQ(t[0], Value("PD"));
    EXPECT_EQ(t[1][1], Value(2.5));
    EXPECT_THROW((void)t[2], std::out_of_range);
    EXPECT_THROW((void)Value::list({})[0], std::out_of_range);
    EXPECT_EQ(Value::list({}).size(), 0U);
}

// ---------------------------------------------------------------------------
// Sharing: bulk payloads must not be copied when a Value is built, copied or moved
// ---------------------------------------------------------------------------

TEST(ValueSharing, FloatArrayOfAMillionSharesOneBuffer) {
    QVector<double> samples(1'000'000);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = i * 0.5;
    const double* buffer = samples.constData();

    const Value a = Value::float_array(std::move(samples));
    EXPECT_EQ(a.as_float_array().constData(), buffer);
    const Value b = a; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(b.as_float_array().constData(), buffer);
    Value moved_from = b;
    const Value c = std::move(moved_from);
    EXPECT_EQ(c.as_float_array().constData(), buffer);
    EXPECT_EQ(c.as_float_array().size(), 1'000'000);
    EXPECT_EQ(c.as_float_array()[999'999], 999'999 * 0.5);
}

// A value moved from is none, whatever it held: a list moved from used to keep its kind
// with no elements behind it, and items() on it read through a null pointer.
TEST(ValueSharing, MovedFromIsNone) {
    const std::vector<Value> kinds = {
        Value::list({1, 2}),
        Value::tuple({"PD", 2.5}),
        Value("text"),
        Value::bytes(QByteArray("ab")),
        Value::float_array({1.0, 2}),
        Value::complex_array({{1.0, 2.0}}),
        Value(7),
        Value(std::complex<double>(1.0, -1.0)),
    };
    for (const Value& original : kinds) {
        Value from = original;
        Value to = std::move(from);
        EXPECT_EQ(to, original) << text_form(original).toStdString();
        EXPECT_TRUE(from.is_none())
            << text_form(original).toStdString(); // NOLINT(bugprone-use-after-move)
        EXPECT_ANY_THROW((void)from.items()) << text_form(original).toStdString();
        // Assigned from, too; and the value taken may be an element of the one assigned to.
        Value again = original;
        Value target = Value::list({again});
        target = std::move(again);
        EXPECT_EQ(target, original);
        EXPECT_TRUE(again.is_none()); // NOLINT(bugprone-use-after-move)
        Value outer = Value::list({original, 3});
        outer = outer[0];
        EXPECT_EQ(outer, original);
    }
}

TEST(ValueSharing, ComplexArrayOfAMillionSharesOneBuffer) {
    QVector<std::complex<double>> samples(1'000'000, {1.0, -1.0});
    const std::complex<double>* buffer = samples.constData();
    const Value a = Value::complex_array(std::move(samples));
    const Value b = a; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(a.as_complex_array().constData(), buffer);
    EXPECT_EQ(b.as_complex_array().constData(), buffer);
}

TEST(ValueSharing, ListCopiesShareTheirElements) {
    const Value a = Value::list({Value::float_array(QVector<double>(10)), "x"});
    const Value b = a; // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(&a.items(), &b.items());
    EXPECT_EQ(a[0].as_float_array().constData(), b[0].as_float_array().constData());
}

// Lists and tuples are made and dropped in great numbers, often on different threads
// (decoded on one, applied and released on another). Whatever thread releases them,
// every value must keep its own elements, and a thread that ends must take nothing
// with it that another still holds.
TEST(ValueLifetime, ListsReleasedOnOtherThreadsKeepTheirElements) {
    constexpr int per_round = 3000;
    auto make = [](int round, int i) {
        return Value::tuple({"PD", Value::list({round, i, Value::list({i * 0.5})})});
    };
    std::vector<Value> kept;
    for (int round = 0; round < 4; ++round) {
        std::vector<Value> made;
        std::thread maker([&] {
            for (int i = 0; i < per_round; ++i)
                made.push_back(make(round, i));
            // Half released on this thread before it ends, the other half kept.
            for (int i = 0; i < per_round; i += 2)
                made[static_cast<std::size_t>(i)] = Value();
        });
        maker.join();
        for (int i = 1; i < per_round; i += 2)
            kept.push_back(std::move(made[static_cast<std::size_t>(i)]));
        std::thread releaser([&] { made.clear(); });
        releaser.join();
        // New values made here reuse released blocks; the kept ones must not change.
        std::vector<Value> fresh;
        for (int i = 0; i < per_round; ++i)
            fresh.push_back(make(-round, -i));
        for (int i = 0; i < per_round; ++i)
            ASSERT_EQ(fresh[static_cast<std::size_t>(i)], make(-round, -i));
    }
    std::size_t at = 0;
    for (int round = 0; round < 4; ++round)
        for (int i = 1; i < per_round; i += 2)
            ASSERT_EQ(kept[at++], make(round, i)) << round << " " << i;
}

// Storage a record leaves behind is handed to the next record of its size. Whatever is
// reused, values still held keep their elements, and a list built on reused storage
// holds exactly what was put in.
class ValueStorage : public ::testing::TestWithParam<std::size_t> {};

Value numbered_list(std::vector<Value> items, std::size_t size, int base) {
    for (std::size_t i = 0; i < size; ++i)
        items.emplace_back(base + static_cast<int>(i));
    return Value::list(std::move(items));
}

TEST_P(ValueStorage, ReuseLeavesHeldValuesAlone) {
    const std::size_t size = GetParam();
    std::vector<Value> held;
    for (int round = 0; round < 200; ++round) {
        std::vector<Value> storage = Value::element_storage(size);
        ASSERT_TRUE(storage.empty());
        ASSERT_GE(storage.capacity(), size);
        Value made = numbered_list(std::move(storage), size, 1000 * round);
        if (round % 3 == 0)
            held.push_back(made); // a copy keeps the elements alive; the rest go
    }
    for (std::size_t k = 0; k < held.size(); ++k)
        ASSERT_EQ(held[k], numbered_list({}, size, 1000 * 3 * static_cast<int>(k))) << k;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ValueStorage, ::testing::Values(0, 1, 2, 10, 16, 17, 300));

// The point of element_storage(): a queue that builds a record for each one the host
// drops allocates nothing for their elements, even after values of another size filled
// what is kept of theirs. On a thread of its own, whose kept storage the other tests
// have not touched.
TEST(ValueStorage, ARecordDroppedGivesItsStorageToTheNext) {
    std::thread([] {
        {
            std::vector<Value> singles;
            for (int i = 0; i < 20'000; ++i)
                singles.push_back(Value::list({i}));
        }
        for (const std::size_t size : {std::size_t{2}, std::size_t{10}}) {
            const Value* before = nullptr;
            {
                const Value first = numbered_list(Value::element_storage(size), size, 0);
                before = first.items().data();
            }
            const Value next = numbered_list(Value::element_storage(size), size, 7);
            EXPECT_EQ(next.items().data(), before) << size;
            EXPECT_EQ(next, numbered_list({}, size, 7));
        }
    }).join();
}

// ---------------------------------------------------------------------------
// Deep nesting: a host may build values far deeper than the wire carries, and
// destroying, comparing and showing them must not depend on the call stack's size
// ---------------------------------------------------------------------------

constexpr int deep = 100'000;

struct DeepShape {
    const char* name;
    // The value at `level` holding `inner`.
    Value (*wrap)(int level, Value inner);
    const char* opening; // text_form of the outermost two levels, opened
    const char* closing; // ... and closed
    int containers;      // lists and tuples per level
};

const DeepShape deep_shapes[] = {
    {"lists", [](int, Value v) { return Value::list({std::move(v)}); }, "[[", "]]", 1},
    {"one_tuples", [](int, Value v) { return Value::tuple({std::move(v)}); }, "((", ",),)", 1},
    {"commands",
     [](int level, Value v) {
         return level % 2 ? Value::tuple({"PD", std::move(v)})
                          : Value::list({level, std::move(v), 0.5});
     },
     "('PD', [", "), 0.5])", 1},
    // Several containers die at each level, more than are kept in place while waiting.
    {"wide_levels",
     [](int level, Value v) {
         return Value::list({Value::list({level}), Value::tuple({level, Value::list({})}),
                             std::move(v), Value::list({1.5}), Value::tuple({}),
                             Value::list({Value::list({level})})});
     },
     "[[1], (1, []), [[2]", "[1.5], (), [[1]]]", 8},
};

Value build_deep(const DeepShape& shape, const Value& leaf) {
    Value v = leaf;
    for (int level = deep; level > 0; --level)
        v = shape.wrap(level, std::move(v));
    return v;
}

class DeepValue : public ::testing::TestWithParam<DeepShape> {};

TEST_P(DeepValue, IsComparedShownAndDestroyedWithoutOverflow) {
    const DeepShape& shape = GetParam();
    {
        const Value a = build_deep(shape, Value("leaf"));
        const Value b = build_deep(shape, Value("leaf")); // equal, but shares nothing
        const Value c = build_deep(shape, Value("leaf2"));
        ASSERT_NE(&a.items(), &b.items());
        EXPECT_TRUE(a == b);
        EXPECT_FALSE(a != b);
        EXPECT_FALSE(a == c);
        EXPECT_TRUE(a != c);

        const QString text = tellurix::lumenfold::host::text_form(a);
        EXPECT_TRUE(text.startsWith(QLatin1String(shape.opening))) << text.left(40).toStdString();
        EXPECT_TRUE(text.endsWith(QLatin1String(shape.closing))) << text.right(40).toStdString();
        EXPECT_EQ(text.count(QStringLiteral("'leaf'")), 1);
        EXPECT_EQ(text.count(QLatin1Char('[')) + text.count(QLatin1Char('(')),
                  deep * shape.containers);
    } // a, b and c are destroyed here
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeepValue, ::testing::ValuesIn(deep_shapes),
                         [](const auto& info) { return std::string(info.param.name); });

// Tearing a deep value down must stop at parts that are still held elsewhere.
TEST(DeepValue, PartsStillHeldSurviveTheirContainer) {
    Value inner;
    std::vector<Value> siblings;
    {
        Value v("leaf");
        for (int level = deep; level > 0; --level) {
            if (level == deep / 2)
                inner = v;
            v = Value::list({std::move(v), Value::list({level})});
            if (level % 1000 == 0)
                siblings.push_back(v[1]);
        }
    } // the outer half goes here
    ASSERT_TRUE(inner.is_list());
    Value expected("leaf");
    for (int level = deep; level > deep / 2; --level)
        expected = Value::list({std::move(expected), Value::list({level})});
    EXPECT_EQ(inner, expected);
    ASSERT_EQ(siblings.size(), static_cast<std::size_t>(deep / 1000));
    for (std::size_t i = 0; i < siblings.size(); ++i)
        EXPECT_EQ(siblings[i], Value::list({deep - 1000 * static_cast<int>(i)}));
}

} // namespace
