// Readout numbers: as many digits as one pixel can tell apart.
#include <tellurix/lumenfold/scope/readout.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using tellurix::lumenfold::scope::resolved_text;

struct ReadoutCase {
    double value, step;
    const char* expected;
};

class Readout : public ::testing::TestWithParam<ReadoutCase> {};

TEST_P(Readout, DigitsDownToTheStep) {
    const ReadoutCase& c = GetParam();
    const QString text = resolved_text(c.value, c.step);
    EXPECT_EQ(text.toStdString(), c.expected);
    // Whatever the digits, the text stays within one step of the value.
    if (std::isfinite(c.value) && c.step > 0 && std::isfinite(c.step)) {
        EXPECT_LE(std::fabs(text.toDouble() - c.value), c.step);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Readout,
    ::testing::Values(ReadoutCase{1.5433577235771148, 0.008, "1.543"},
                      ReadoutCase{1.5433577235771148, 0.3, "1.5"},
                      ReadoutCase{-1.5433577235771148, 0.008, "-1.543"},
                      ReadoutCase{1234567.891, 0.01, "1234567.89"},
                      ReadoutCase{1234567.891, 1, "1234568"},
                      ReadoutCase{0.000123456, 1e-7, "0.0001235"},
                      ReadoutCase{2.5e-9, 1e-12, "2.5e-09"},
                      ReadoutCase{0.004, 0.01, "0.004"}, // below a pixel: its magnitude
                      ReadoutCase{0, 0.01, "0"},
                      // Without a usable step, the exact shortest text.
                      ReadoutCase{0.1, 0, "0.1"}, ReadoutCase{0.1, -1, "0.1"},
                      ReadoutCase{0.1, std::numeric_limits<double>::infinity(), "0.1"}));
