// Segment filters: line pieces that symbols painted later will cover entirely are broken out
// of the vertex runs before anything is drawn. Every pixel the pen could touch there gets
// painted over anyway, so the picture stays the same.
#pragma once

#include "bit_plane.h"

#include <QPoint>
#include <QRect>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <utility>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// The cheap test. Each pixel of a segment of Chebyshev length L lies within floor(L / 2)
/// pixels of one of its ends (the walk never strays from the box of its ends): with an
/// opaque square of radius r in every symbol, a segment no longer than `shortest` = 2r' + 1
/// (r' = r less what the pen reaches beyond its centre line) between two vertices in `area`
/// (where symbols are drawn) is covered. Writes into `out` (scratch, only ever grown: every
/// vertex is written and the position moves on only for what is kept, so no branch depends
/// on the data) the runs of segments that are not covered. Returns the number of points
/// written and of segments kept.
std::pair<std::size_t, std::size_t> keepFarSegments(const QPoint* in, std::size_t count,
                                                    std::vector<QPoint>& out, const QRect& area,
                                                    int shortest);

/// The test against the symbols' union: a segment whose nearest pixels, end to end, are all
/// set in `deep` (the union eroded by what the pen reaches, plus one) is covered. Appends
/// the runs of segments that are not covered to `out`; returns the number of segments kept.
std::size_t keepSegmentsOutside(const QPoint* in, std::size_t count, std::vector<QPoint>& out,
                                const Plane& deep);

/// Calls visit(x, y) for the pixel nearest to each point of the segment from a to b, one per
/// step along its longer axis, ends included: the pixels the deep test reads.
template <typename Visit> bool allNearest(const QPoint& a, const QPoint& b, Visit&& visit) {
    const int dx = b.x() - a.x(), dy = b.y() - a.y();
    const int steps = std::max(std::abs(dx), std::abs(dy));
    if (!visit(a.x(), a.y()))
        return false;
    // Stepping without a division per pixel.
    const double sx = steps == 0 ? 0.0 : static_cast<double>(dx) / steps;
    const double sy = steps == 0 ? 0.0 : static_cast<double>(dy) / steps;
    double fx = a.x() + 0.5, fy = a.y() + 0.5;
    for (int i = 1; i < steps; ++i) {
        fx += sx;
        fy += sy;
        int x = static_cast<int>(fx), y = static_cast<int>(fy);
        x -= x > fx ? 1 : 0; // floor for negative values too
        y -= y > fy ? 1 : 0;
        if (!visit(x, y))
            return false;
    }
    return visit(b.x(), b.y());
}

} // namespace tellurix::lumenfold::plotting::detail
