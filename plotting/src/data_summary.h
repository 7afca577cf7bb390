// The data summary: what one pass over a curve's new data answers for every later drawing
// and fit (whether X is monotonic, whether all is finite, the bounds).
#pragma once

#include "wide_loops.h"

#include <optional>

namespace tellurix::lumenfold::plotting::detail {

/// Axis-aligned bounds of the usable points.
struct Bounds {
    double xmin, xmax, ymin, ymax;
};

/// One pass over n >= 1 points.
Summary summarise(const double* xs, const double* ys, int n);

/// Bounds of the points usable on these axes, or nothing when there is none.
std::optional<Bounds> usableBounds(const double* xs, const double* ys, int n, bool logX, bool logY);

/// Whether X never goes back, or never goes forward, over all points (a NaN breaks both).
bool monotonic(const double* xs, int n);

} // namespace tellurix::lumenfold::plotting::detail
