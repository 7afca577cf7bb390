// The text form of values, as labels, tooltips and the clipboard show them.
#include <tellurix/lumenfold/host.h>

#include <QDebug>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

using tellurix::lumenfold::host::float_text;
using tellurix::lumenfold::host::quoted_form;
using tellurix::lumenfold::host::text_form;
using tellurix::lumenfold::host::Value;

namespace {

using C = std::complex<double>;
const double kInf = std::numeric_limits<double>::infinity();

struct FormRow {
    const char* label;
    Value value;
    QString text;
};

void PrintTo(const FormRow& row, std::ostream* os) {
    *os << row.label;
}

class TextForm : public ::testing::TestWithParam<FormRow> {};

TEST_P(TextForm, MatchesPythonNotation) {
    EXPECT_EQ(text_form(GetParam().value), GetParam().text);
}

QVector<double> counting(int n) {
    QVector<double> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = i;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Scalars, TextForm,
    ::testing::Values(
        FormRow{"str_unchanged", "it's \"x\"\n\\", QStringLiteral("it's \"x\"\n\\")},
        FormRow{"str_empty", "", QString()}, FormRow{"int_zero", 0, "0"},
        FormRow{"int_negative", -42, "-42"},
        FormRow{"int64_min", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        FormRow{"float_2_5", 2.5, "2.5"}, FormRow{"float_0_1", 0.1, "0.1"},
        FormRow{"float_3", 3.0, "3"}, FormRow{"float_third", 1.0 / 3, "0.3333333333333333"},
        FormRow{"float_1e_300", 1e-300, "1e-300"},
        FormRow{"float_max", 1.7976931348623157e+308, "1.7976931348623157e+308"},
        FormRow{"float_1e300", 1e300, "1e+300"}, FormRow{"float_1e16", 1e16, "1e+16"},
        FormRow{"float_1e15", 1e15, "1000000000000000"}, FormRow{"float_1e_5", 1e-5, "1e-05"},
        FormRow{"float_0_0001", 0.0001, "0.0001"}, FormRow{"float_neg_small", -2.5e-7, "-2.5e-07"},
        FormRow{"float_denormal", 5e-324, "5e-324"}, FormRow{"float_zero", 0.0, "0"},
        FormRow{"float_negative_zero", -0.0, "-0"},
        FormRow{"float_nan", std::numeric_limits<double>::quiet_NaN(), "nan"},
        FormRow{"float_inf", kInf, "inf"}, FormRow{"float_minus_inf", -kInf, "-inf"},
        FormRow{"none", Value(), "None"}, FormRow{"true", true, "True"},
        FormRow{"false", false, "False"}, FormRow{"complex", C(1, 2), "(1+2j)"},
        FormRow{"complex_imaginary", C(0, 1), "1j"},
        FormRow{"complex_negative_imag", C(1, -2), "(1-2j)"},
        FormRow{"complex_zero", C(0, 0), "0j"},
        FormRow{"complex_negative_zero_real", C(-0.0, 1), "(-0+1j)"},
        FormRow{"complex_negative_zero_imag", C(1.5, -0.0), "(1.5-0j)"},
        FormRow{"complex_inf", C(kInf, -kInf), "(inf-infj)"},
        FormRow{"bytes", Value::bytes("ab"), "b'ab'"},
        FormRow{"bytes_quote", Value::bytes("it's"), "b\"it's\""},
        FormRow{"bytes_both_quotes", Value::bytes("'\""), "b'\\'\"'"},
        FormRow{"bytes_escapes", Value::bytes(QByteArray("\x00\xff\n\t\\", 5)),
                "b'\\x00\\xff\\n\\t\\\\'"}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Containers, TextForm,
    ::testing::Values(
        FormRow{"names", Value::str_list({"t", "volts"}), "['t', 'volts']"},
        FormRow{"empty_list", Value::list({}), "[]"},
        FormRow{"empty_tuple", Value::tuple({}), "()"},
        FormRow{"tuple_one", Value::tuple({1}), "(1,)"},
        FormRow{"tuple_two", Value::tuple({1, 2}), "(1, 2)"},
        FormRow{"command", Value::tuple({"PD", Value()}), "('PD', None)"},
        FormRow{"mixed", Value::list({Value(), true, 2.5, 3.0, C(0, 1)}),
                "[None, True, 2.5, 3, 1j]"},
        FormRow{"nested", Value::list({Value::tuple({1, "a"}), Value::list({})}), "[(1, 'a'), []]"},
        FormRow{"bytes_inside", Value::list({Value::bytes("x")}), "[b'x']"},
        FormRow{"apostrophe", Value::list({"it's"}), "[\"it's\"]"},
        FormRow{"double_quote", Value::list({"say \"hi\""}), "['say \"hi\"']"},
        FormRow{"both_quotes", Value::list({"it's \"x\""}), "['it\\'s \"x\"']"},
        FormRow{"backslash", Value::list({"a\\b"}), "['a\\\\b']"},
        FormRow{"newline_tab_cr", Value::list({"a\nb\tc\rd"}), "['a\\nb\\tc\\rd']"},
        FormRow{"control", Value::list({"\x01\x1f\x7f"}), "['\\x01\\x1f\\x7f']"},
        FormRow{"latin1_control", Value::list({QString(QChar(0x85))}), "['\\x85']"},
        FormRow{"no_break_space", Value::list({QString(QChar(0xa0))}), "['\\xa0']"},
        FormRow{"line_separator", Value::list({QString(QChar(0x2028))}), "['\\u2028']"},
        FormRow{"zero_width_space", Value::list({QString(QChar(0x200b))}), "['\\u200b']"},
        FormRow{"lone_surrogate", Value::list({QString(QChar(0xd800))}), "['\\ud800']"},
        FormRow{"private_use_plane", Value::list({QString::fromUcs4(U"\U000F0000")}),
                "['\\U000f0000']"},
        FormRow{"printable_unicode", Value::list({QString::fromUtf8("\xc3\xa9\xf0\x9f\x98\x80")}),
                QString::fromUtf8("['\xc3\xa9\xf0\x9f\x98\x80']")}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Arrays, TextForm,
    ::testing::Values(
        FormRow{"float_array", Value::float_array({1, 2.5, -0.0}), "array([1, 2.5, -0])"},
        FormRow{"float_array_empty", Value::float_array({}), "array([])"},
        FormRow{"complex_array", Value::complex_array({C(1, 2), C(0, 1)}), "array([(1+2j), 1j])"},
        FormRow{"float_array_long_elided", Value::float_array(counting(1001)),
                "array([0, 1, 2, ..., 998, 999, 1000])"}),
    [](const auto& info) { return std::string(info.param.label); });

// The 1000-element row above would be unreadable in full; check it here instead.
TEST(TextFormArray, ThousandElementsAreAllShown) {
    const QString text = text_form(Value::float_array(counting(1000)));
    EXPECT_TRUE(text.startsWith(QStringLiteral("array([0, 1, 2, 3, ")));
    EXPECT_TRUE(text.endsWith(QStringLiteral(", 998, 999])")));
    EXPECT_EQ(text.count(QStringLiteral(", ")), 999);
}

struct QuotedRow {
    const char* label;
    Value value;
    QString text;
};

class QuotedForm : public ::testing::TestWithParam<QuotedRow> {};

TEST_P(QuotedForm, QuotesOnlyStrings) {
    EXPECT_EQ(quoted_form(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, QuotedForm,
                         ::testing::Values(QuotedRow{"str", "a'b", "\"a'b\""},
                                           QuotedRow{"empty", "", "''"}, QuotedRow{"int", 7, "7"},
                                           QuotedRow{"list", Value::list({"a"}), "['a']"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(TextFormStreams, BothStreamOperatorsWriteTheTextForm) {
    const Value v = Value::tuple({"PN", Value::str_list({"t"})});
    std::ostringstream os;
    os << v;
    EXPECT_EQ(os.str(), "('PN', ['t'])");
    QString captured;
    QDebug(&captured) << v;
    EXPECT_EQ(captured.trimmed(), QStringLiteral("('PN', ['t'])"));
}

// ---------------------------------------------------------------------------
// Floats read back exactly
// ---------------------------------------------------------------------------

void expect_round_trip(double d) {
    const QString text = float_text(d);
    bool ok = false;
    const double back = text.toDouble(&ok);
    ASSERT_TRUE(ok) << text.toStdString();
    // Bit equality: also tells -0 from 0.
    EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text.toStdString();
}

TEST(FloatText, RandomBitPatternsReadBackExactly) {
    std::mt19937_64 rng(20261208);
    int checked = 0;
    while (checked < 200'000) {
        const std::uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d))
            continue;
        expect_round_trip(d);
        ++checked;
    }
}

TEST(FloatText, RandomDecimalScaleValuesReadBackExactly) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-20, 20);
    for (int i = 0; i < 100'000; ++i)
        expect_round_trip(std::ldexp(mantissa(rng), exponent(rng)));
    for (double d : {0.0, -0.0, 5e-324, -5e-324, std::numeric_limits<double>::max(),
                     std::numeric_limits<double>::min(), 9007199254740993.0, 0.1 + 0.2})
        expect_round_trip(d);
}

TEST(FloatText, NonFiniteReadBackThroughQt) {
    EXPECT_TRUE(std::isnan(float_text(std::nan("")).toDouble()));
    EXPECT_EQ(float_text(kInf).toDouble(), kInf);
    EXPECT_EQ(float_text(-kInf).toDouble(), -kInf);
}

} // namespace
