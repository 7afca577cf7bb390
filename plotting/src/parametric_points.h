// Collection of parametric points: data in record order with X going anywhere (a spiral, an
// XY scatter, a constellation). Nothing can be merged by column; what is dropped is what
// cannot show.
#pragma once

#include "bit_plane.h"
#include "data_summary.h"
#include "pixel_map.h"

#include <QPoint>

#include <optional>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// Appends the vertices of the curve to `verts`: consecutive points on the same pixel are
/// dropped, a run of points all beyond the same edge of the canvas (with room for the pen)
/// keeps only its first and last point, and every unusable point is a break. Sets the mark
/// of every point kept in `marks` (if given) that lies in its rectangle. `bounds` are those
/// of the data on linear axes, when every coordinate is finite.
void collectParametric(const CollectInput& in, const std::optional<Bounds>& bounds,
                       std::vector<QPoint>& verts, Plane* marks);

/// Sets the mark of every usable point that lies in the rectangle of `marks`.
void markPoints(const CollectInput& in, Plane& marks);

} // namespace tellurix::lumenfold::plotting::detail
