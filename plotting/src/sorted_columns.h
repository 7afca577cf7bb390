// Decimation of sorted columns: for data whose X is sorted, each pixel column keeps only the
// points that draw the same pixels as all of its points would.
#pragma once

#include "bit_plane.h"
#include "pixel_map.h"

#include <QPoint>

#include <cstdint>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// Appends `q` unless it repeats the last vertex.
inline void pushVertex(std::vector<QPoint>& verts, const QPoint& q) {
    if (verts.empty() || verts.back() != q)
        verts.push_back(q);
}

/// The reduction of one pixel column: its first, lowest, highest and last point (the first
/// of each extreme in record order). Drawn in that order, with low and high in the order
/// they came, they touch the same pixels as every point of the column would.
class ColumnExtremes {
public:
    bool open() const { return open_; }
    void start(std::int64_t x, std::int64_t y, int at);
    void add(std::int64_t x, std::int64_t y, int at);
    /// Appends the column's vertices (dropping repeats of the last vertex) and closes it.
    void close(std::vector<QPoint>& verts);

private:
    bool open_ = false;
    std::int64_t fx_ = 0, fy_ = 0, lowX_ = 0, lowY_ = 0, highX_ = 0, highY_ = 0, lx_ = 0, ly_ = 0;
    int lowAt_ = 0, highAt_ = 0;
};

inline void ColumnExtremes::start(std::int64_t x, std::int64_t y, int at) {
    open_ = true;
    fx_ = lx_ = lowX_ = highX_ = x;
    fy_ = ly_ = lowY_ = highY_ = y;
    lowAt_ = highAt_ = at;
}

inline void ColumnExtremes::add(std::int64_t x, std::int64_t y, int at) {
    if (y < lowY_) {
        lowX_ = x;
        lowY_ = y;
        lowAt_ = at;
    }
    if (y > highY_) {
        highX_ = x;
        highY_ = y;
        highAt_ = at;
    }
    lx_ = x;
    ly_ = y;
}

inline void ColumnExtremes::close(std::vector<QPoint>& verts) {
    if (!open_)
        return;
    auto push = [&verts](std::int64_t x, std::int64_t y) {
        pushVertex(verts, QPoint(static_cast<int>(x), static_cast<int>(y)));
    };
    push(fx_, fy_);
    if (lowAt_ <= highAt_) {
        push(lowX_, lowY_);
        push(highX_, highY_);
    } else {
        push(highX_, highY_);
        push(lowX_, lowY_);
    }
    push(lx_, ly_);
    open_ = false;
}

/// The pixel columns kept apart: columns further off the canvas than the pen can reach
/// fold into one on each side, since nothing between their points is visible.
struct ColumnRange {
    std::int64_t left, right;
    static ColumnRange of(const CollectInput& in);
};

/// Data whose X never goes back (and holds no NaN), or never goes forward: columns are found
/// by search, and only Y is mapped point by point. Appends the vertices to `verts`, with a
/// break at every unusable point, and sets the mark of every usable point in `marks` (if
/// given) that lies in its rectangle.
void collectMonotone(const CollectInput& in, std::vector<QPoint>& verts, Plane* marks);

/// Data whose usable points have sorted X (NaN and other unusable points between them): the
/// same vertices point by point. Returns false, with partial output, once X turns out not to
/// be sorted.
bool collectSorted(const CollectInput& in, std::vector<QPoint>& verts, Plane* marks);

} // namespace tellurix::lumenfold::plotting::detail
