#include "tick_labels.h"

#include <qwt_text.h>

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tellurix::lumenfold::plotting::detail {

namespace {

// Qwt writes labels with QLocale's default precision: six significant digits.
constexpr int kPlainDigits = 6;
// More ticks than this from one division means something went wrong; the engine's stay.
constexpr double kMostTicks = 100;

// Significant digits that write `v` to a multiple of `unit` (both positive).
int digitsFor(double v, double unit) {
    if (v == 0.0)
        return 1;
    const int d = static_cast<int>(std::floor(std::log10(v)) - std::floor(std::log10(unit))) + 1;
    return std::clamp(d, 1, std::numeric_limits<double>::max_digits10);
}

// `v` (positive) rounded to one significant digit: the engine's steps are 1, 2 or 5 times a
// power of ten, give or take the rounding of the ticks they were measured between.
double oneDigit(double v) {
    const double scale = std::pow(10.0, std::floor(std::log10(v)));
    return std::round(v / scale) * scale;
}

} // namespace

QwtScaleDiv TickLabels::follow(const QwtScaleDiv& div) {
    invalidateCache();
    offsetUsed_ = false;
    const QList<double> ticks = div.ticks(QwtScaleDiv::MajorTick);
    if (ticks.size() < 2)
        return div;
    double largest = 0.0;
    for (const double t : ticks)
        largest = std::max(largest, std::abs(t));
    const double step = oneDigit(std::abs(ticks.back() - ticks.front()) / (ticks.size() - 1));
    if (!(step > 0.0) || !std::isfinite(step) || !std::isfinite(largest) ||
        digitsFor(largest, step) <= kPlainDigits)
        return div;

    // A round offset near the middle, a whole number of steps, keeps every label within about
    // one span of zero, so the labels need only the few digits that tell the ticks apart.
    const double lo = div.lowerBound(), hi = div.upperBound();
    const double round = std::pow(10.0, std::ceil(std::log10(std::abs(hi - lo))));
    const double offset = std::round((lo / 2 + hi / 2) / round) * round;
    const double first = std::ceil((std::min(lo, hi) - offset) / step);
    const double last = std::floor((std::max(lo, hi) - offset) / step);
    if (!std::isfinite(offset) || !(last - first < kMostTicks))
        return div;
    QList<double> major, minor;
    const double mantissa = std::round(step / std::pow(10.0, std::floor(std::log10(step))));
    const int parts = mantissa == 2.0 ? 4 : 5;
    const double interval = std::min(lo, hi), end = std::max(lo, hi);
    for (double k = first - 1; k <= last; ++k) {
        const double at = offset + k * step;
        if (at >= interval && at <= end)
            major.append(at);
        for (int i = 1; i < parts; ++i) {
            const double m = offset + (k + double(i) / parts) * step;
            if (m >= interval && m <= end)
                minor.append(m);
        }
    }
    offsetUsed_ = true;
    offset_ = offset;
    step_ = step;
    QwtScaleDiv laid(lo, hi);
    laid.setTicks(QwtScaleDiv::MajorTick, major);
    laid.setTicks(QwtScaleDiv::MinorTick, minor);
    return laid;
}

QString TickLabels::title() const {
    if (!offsetUsed_)
        return {};
    const QString text = QLocale().toString(offset_, 'g', QLocale::FloatingPointShortest);
    return offset_ < 0 ? text : QLatin1Char('+') + text;
}

QwtText TickLabels::label(double value) const {
    if (!offsetUsed_)
        return QwtScaleDraw::label(value);
    // A tick at this magnitude is off its round value by up to half a representable step;
    // the label gives the round value. Adding 0.0 turns -0 into 0.
    const double shown = std::round((value - offset_) / step_) * step_ + 0.0;
    // Whole numbers of up to six digits are written out ("20000", not "2e+04").
    const double magnitude = std::abs(shown);
    const int whole =
        magnitude >= 1.0 ? static_cast<int>(std::floor(std::log10(magnitude))) + 1 : 0;
    const int digits = std::max(digitsFor(magnitude, step_), std::min(whole, kPlainDigits));
    return QLocale().toString(shown, 'g', digits);
}

} // namespace tellurix::lumenfold::plotting::detail
