// Segment filters: line pieces that symbols painted later will cover entirely are broken out
// of the vertex runs before anything is drawn. Every pixel the pen could touch there gets
// painted over anyway, so the picture stays the same.
#pragma once

#include "bit_plane.h"

#include <QPoint>
#include <QRect>

#include <cstddef>
#include <utility>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// The cheap test. Each pixel of a segment of Chebyshev length L lies within floor(L / 2)
/// pixels of one of its ends (the walk never strays from the box of its ends): with an
/// opaque square of radius r in every symbol, a segment no longer than `shortest` = 2r' + 1
/// (r' = r less what the pen reaches beyond its centre line) between two vertices in `area`
/// (where symbols are drawn) is covered. Writes into `out` (scratch, only ever grown) the runs
/// of segments that are not covered: without `near` every vertex is written and the position
/// moves on only for what is kept, so that no branch depends on the data; with it, only what
/// is kept is written. Returns the number of points written and of segments kept.
///
/// With `near` (a plane of the symbols' union eroded by what the pen reaches, plus one, plus
/// `near->reach`), a segment is covered as well when both its ends are set there and it is
/// no longer than 2 * reach: every pixel of its walk then lies within `reach` of an end, so
/// every pixel the pen touches around it lies in the union. Two bit tests a segment, where
/// the test against the union itself walks each one.
struct NearCover {
    const Plane* plane = nullptr;
    int reach = 0;
};
std::pair<std::size_t, std::size_t> keepFarSegments(const QPoint* in, std::size_t count,
                                                    std::vector<QPoint>& out, const QRect& area,
                                                    int shortest, const NearCover& near = {});

/// The test against the symbols' union: a segment whose nearest pixels, end to end (one per
/// step along its longer axis, halves rounded up), are all set in `deep` (the union eroded by what
/// the pen reaches, plus one) is covered. Appends the runs of segments that are not covered to
/// `out`; returns the number of segments kept.
std::size_t keepSegmentsOutside(const QPoint* in, std::size_t count, std::vector<QPoint>& out,
                                const Plane& deep);

} // namespace tellurix::lumenfold::plotting::detail
