// The form every collecting stage hands on: whole-pixel vertices in drawing order, with a
// break marker between lines that must not be joined.
#pragma once

#include <QPoint>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// The x (and y) of a vertex that only separates two lines.
constexpr int kBreak = std::numeric_limits<int>::min();

inline QPoint breakMark() {
    return QPoint(kBreak, kBreak);
}

/// Calls visit(first, count) for each run of vertices between breaks.
template <typename Visit> void forEachRun(const QPoint* v, std::size_t size, Visit&& visit) {
    const QPoint* end = v + size;
    while (v != end) {
        if (v->x() == kBreak) {
            ++v;
            continue;
        }
        const QPoint* stop = v;
        while (stop != end && stop->x() != kBreak)
            ++stop;
        visit(v, static_cast<int>(stop - v));
        v = stop;
    }
}

/// Segments between two vertices that are not breaks.
inline std::size_t segmentCount(const QPoint* v, std::size_t size) {
    std::size_t count = 0;
    for (std::size_t k = 1; k < size; ++k)
        count += v[k - 1].x() != kBreak && v[k].x() != kBreak ? 1 : 0;
    return count;
}

/// The sum of the segments' lengths along their longer axis (about the pixels a thin line
/// walks), or a number above `enough` once it exceeds that.
inline long long walkLength(const QPoint* v, std::size_t size, long long enough) {
    long long total = 0;
    for (std::size_t k = 1; k < size && total <= enough; ++k) {
        const QPoint a = v[k - 1], b = v[k];
        if (a.x() == kBreak || b.x() == kBreak)
            continue;
        const long long dx = std::llabs(static_cast<long long>(b.x()) - a.x());
        const long long dy = std::llabs(static_cast<long long>(b.y()) - a.y());
        total += dx > dy ? dx : dy;
    }
    return total;
}

} // namespace tellurix::lumenfold::plotting::detail
