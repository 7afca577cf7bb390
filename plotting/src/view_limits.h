// What an axis can show: the intervals of data coordinates that map to pixels soundly, and
// the fitted interval of a data span.
//
// Ranges are handled in "axis space": log10 of the value on a log axis, the value otherwise,
// so that panning and zooming are linear in pixels on both kinds of axis.
#pragma once

#include <optional>

namespace tellurix::lumenfold::plotting::detail {

struct Interval {
    double lo, hi;
};

inline bool operator==(const Interval& a, const Interval& b) {
    return a.lo == b.lo && a.hi == b.hi;
}

double toAxis(double v, bool log);
double fromAxis(double t, bool log);

/// Whether an axis shows `i` as it is: finite, ordered, inside what the axis can map (on a
/// log axis [QwtLogTransform::LogMin, LogMax]), neither so narrow that its ends and the
/// pixels between them round together, nor so wide that its width overflows.
bool showable(Interval i, bool log);

/// The interval an axis shows for `i`: `i` itself when showable, otherwise the nearest
/// showable one (clamped into the axis's domain, narrowed about its centre to the widest
/// width allowed, or widened about its centre to the narrowest). Nothing for a NaN end.
std::optional<Interval> shown(Interval i, bool log);

/// The view fitted to data from `lo` to `hi` (finite; positive on a log axis): a small margin
/// on each side, a unit span (a decade on a log axis) about a single value, and then what
/// `shown` makes of it, so data beyond the axis's domain is clamped.
Interval fitted(double lo, double hi, bool log);

} // namespace tellurix::lumenfold::plotting::detail
