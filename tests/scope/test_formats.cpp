// Value formats applied to real and complex columns.
#include <tellurix/lumenfold/scope/formats.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace tellurix::lumenfold;
using scope::Format;

namespace {
constexpr double pi = 3.14159265358979323846;
}

struct FormatCase {
    const char* name;
    Format format;
    double re, im;
    double expected;
};

class Formats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Formats, OneValue) {
    const FormatCase& c = GetParam();
    EXPECT_DOUBLE_EQ(scope::apply_format(c.format, c.re, c.im), c.expected);
}

// A real column (no imaginary buffer) must give what the same values give with an
// imaginary part of zero.
class RealFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(RealFormats, RealColumnsAgreeWithZeroImaginaryParts) {
    const FormatCase& c = GetParam();
    const double re[] = {c.re, c.re};
    const double zeros[] = {0.0, 0.0};
    double fast[2], general[2];
    scope::apply_format(c.format, re, nullptr, 2, fast);
    scope::apply_format(c.format, re, zeros, 2, general);
    EXPECT_DOUBLE_EQ(fast[0], general[0]);
    EXPECT_DOUBLE_EQ(fast[0], c.expected);
}

const auto real_cases =
    ::testing::Values(FormatCase{"real_of_real", Format::Real, -2.5, 0, -2.5},
                      FormatCase{"imag_of_real", Format::Imag, -2.5, 0, 0},
                      FormatCase{"mag_of_negative_real", Format::Mag, -2.5, 0, 2.5},
                      FormatCase{"phase_of_positive_real", Format::Phase, 2, 0, 0},
                      FormatCase{"phase_of_negative_real", Format::Phase, -2, 0, pi});
const auto case_name = [](const auto& info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(
    Complex, Formats,
    ::testing::Values(FormatCase{"real_of_complex", Format::Real, 3, 4, 3},
                      FormatCase{"imag_of_complex", Format::Imag, 3, 4, 4},
                      FormatCase{"mag_of_complex", Format::Mag, 3, -4, 5},
                      FormatCase{"phase_of_complex", Format::Phase, 0, 2, pi / 2},
                      FormatCase{"phase_of_negative_imag", Format::Phase, 0, -2, -pi / 2}),
    case_name);
INSTANTIATE_TEST_SUITE_P(Real, Formats, real_cases, case_name);
INSTANTIATE_TEST_SUITE_P(Real, RealFormats, real_cases, case_name);

TEST(Formats, WordsRoundTripAndNothingElseIsAFormat) {
    for (Format f : {Format::Real, Format::Imag, Format::Mag, Format::Phase})
        EXPECT_EQ(scope::parse_format(scope::format_word(f)), f);
    for (const char* bad : {"", "Real", "magnitude", " real", "abs"})
        EXPECT_FALSE(scope::parse_format(QString::fromUtf8(bad)).has_value()) << bad;
}

TEST(Formats, FormattedColumnFollowsTheLiveRows) {
    scope::PointDataset d(3, 2);
    d.set_column_names(host::Value::str_list({"z"}));
    for (int i = 0; i < 5; ++i)
        d.append(host::Value::list({std::complex<double>(i, -i)}));
    const QVector<double> im = scope::formatted(Format::Imag, d.generation(0), 0);
    EXPECT_EQ(im, (QVector<double>{-2, -3, -4}));
    const QVector<double> mag = scope::formatted(Format::Mag, d.generation(0), 0);
    EXPECT_DOUBLE_EQ(mag[2], std::hypot(4, 4));
}

TEST(Formats, NanStaysNan) {
    for (Format f : {Format::Real, Format::Mag, Format::Phase})
        EXPECT_TRUE(std::isnan(scope::apply_format(f, std::nan(""), 0)))
            << scope::format_word(f).toStdString();
}
