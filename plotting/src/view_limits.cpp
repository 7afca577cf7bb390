#include "view_limits.h"

#include <qwt_transform.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tellurix::lumenfold::plotting::detail {

namespace {

constexpr double kFitMargin = 0.02; // share of the span added on each side by a fit
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kEps = std::numeric_limits<double>::epsilon();

// The narrowest view spans this many representable values at its magnitude. Far fewer, and
// the pixels of the canvas map onto the same few values: a drag or a zoom rounds back to
// where it started, and with none at all the axis collapses and maps nothing.
constexpr double kMinUlps = 256;
// Below this the pixel scale (pixels per unit) of a linear axis overflows.
constexpr double kMinLinearWidth = 1e-300;
// The widest linear view, so that its width, the spans a zoom derives from it and the tick
// grid laid over it stay finite. Data spreading wider is shown in part.
constexpr double kMaxLinearWidth = kMax / 2;
// Widened and narrowed views are put a little inside the limits, so that the rounding of
// their ends never takes them back out and showing a shown view again keeps it exactly.
constexpr double kWidenBy = 1.25;
constexpr double kNarrowTo = 1.0 - 1e-12;

// Qwt maps a log axis within these bounds and clamps anything beyond them; a view reaching
// further would disagree with the pixels it is drawn on.
double logMin() {
    return QwtLogTransform::LogMin;
}
double logMax() {
    return QwtLogTransform::LogMax;
}

// The distance from a non-negative magnitude down to the next representable value.
double gapBelow(double m) {
    return m - std::nextafter(m, 0.0);
}

// Narrowest width, in axis space, of a view from a to b.
double minWidth(double a, double b, bool log) {
    const double gap = gapBelow(std::max(std::abs(a), std::abs(b)));
    // A log axis also keeps its ends apart in data space: kMinUlps relative steps.
    if (log)
        return kMinUlps * std::max(gap, kEps);
    return std::max(kMinUlps * gap, kMinLinearWidth);
}

struct Domain {
    double lo, hi; // axis space
};

Domain domain(bool log) {
    if (log)
        return {std::log10(logMin()), std::log10(logMax())};
    return {-kMax, kMax};
}

} // namespace

double toAxis(double v, bool log) {
    return log ? std::log10(v) : v;
}

double fromAxis(double t, bool log) {
    return log ? std::pow(10.0, t) : t;
}

bool showable(Interval i, bool log) {
    if (!(std::isfinite(i.lo) && std::isfinite(i.hi) && i.lo < i.hi))
        return false;
    if (log) {
        if (i.lo < logMin() || i.hi > logMax())
            return false;
        const double a = std::log10(i.lo), b = std::log10(i.hi);
        return b - a >= minWidth(a, b, true);
    }
    const double w = i.hi - i.lo;
    return w <= kMaxLinearWidth && w >= minWidth(i.lo, i.hi, false);
}

std::optional<Interval> shown(Interval i, bool log) {
    if (std::isnan(i.lo) || std::isnan(i.hi))
        return std::nullopt;
    if (showable(i, log))
        return i;
    if (i.lo > i.hi)
        std::swap(i.lo, i.hi);
    const Domain dom = domain(log);
    double a, b;
    if (log) {
        a = toAxis(std::clamp(i.lo, logMin(), logMax()), true);
        b = toAxis(std::clamp(i.hi, logMin(), logMax()), true);
    } else {
        a = std::clamp(i.lo, dom.lo, dom.hi);
        b = std::clamp(i.hi, dom.lo, dom.hi);
    }
    // The narrowest width grows with the magnitude a widening moves to: a second round
    // settles it.
    for (int round = 0; round < 3; ++round) {
        const double w = b - a; // overflows to infinity for the widest linear spans
        double want;
        if (!log && !(w <= kMaxLinearWidth))
            want = kMaxLinearWidth * kNarrowTo;
        else if (w < minWidth(a, b, log))
            want = minWidth(a, b, log) * kWidenBy;
        else
            break;
        const double centre = a / 2 + b / 2;
        a = centre - want / 2;
        b = centre + want / 2;
        if (a < dom.lo) {
            a = dom.lo;
            b = dom.lo + want;
        }
        if (b > dom.hi) {
            b = dom.hi;
            a = dom.hi - want;
        }
    }
    Interval out{fromAxis(a, log), fromAxis(b, log)};
    if (log) {
        out.lo = std::clamp(out.lo, logMin(), logMax());
        out.hi = std::clamp(out.hi, logMin(), logMax());
    }
    return out;
}

Interval fitted(double lo, double hi, bool log) {
    double a = toAxis(lo, log), b = toAxis(hi, log);
    if (!(b > a)) {
        a -= 0.5;
        b += 0.5;
    } else {
        double pad = (b - a) * kFitMargin;
        if (!std::isfinite(pad)) // a span wider than the largest double
            pad = b * kFitMargin - a * kFitMargin;
        a -= pad;
        b += pad;
    }
    const Interval fallback = log ? Interval{1.0, 10.0} : Interval{0.0, 1.0};
    return shown(Interval{fromAxis(a, log), fromAxis(b, log)}, log).value_or(fallback);
}

} // namespace tellurix::lumenfold::plotting::detail
