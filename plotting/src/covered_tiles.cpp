#include "covered_tiles.h"

#include "vertex_runs.h"

#include <algorithm>
#include <cmath>

namespace tellurix::lumenfold::plotting::detail {

CoveredTiles::CoveredTiles(const Plane& plane, const QRect& allowed)
    : plane_(plane) {
    width_ = plane.rect.width();
    height_ = plane.rect.height();
    columns_ = plane.stride;
    rows_ = (height_ + kRows - 1) / kRows;
    const QRect keep = (allowed & plane.rect).translated(-plane.rect.topLeft());
    keepWords_.assign(static_cast<size_t>(columns_), 0);
    if (!keep.isEmpty()) {
        firstRow_ = keep.top();
        endRow_ = keep.bottom() + 1;
        for (int k = 0; k < columns_; ++k) {
            const int lo = k * 64, hi = lo + 63;
            if (hi < keep.left() || lo > keep.right())
                continue;
            std::uint64_t mask = ~std::uint64_t{0};
            if (lo < keep.left())
                mask &= ~std::uint64_t{0} << (keep.left() - lo);
            if (hi > keep.right())
                mask &= ~std::uint64_t{0} >> (hi - keep.right());
            keepWords_[static_cast<size_t>(k)] = mask;
        }
    }
    openTiles_.assign(static_cast<size_t>(columns_) * static_cast<size_t>(rows_), 0);
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < columns_; ++c) {
            const bool isOpen = !full(c, r);
            openTiles_[static_cast<size_t>(r) * columns_ + c] = isOpen ? 1 : 0;
            open_ += isOpen ? 1 : 0;
        }
    sums_.assign(static_cast<size_t>(columns_ + 1) * static_cast<size_t>(rows_ + 1), 0);
}

bool CoveredTiles::full(int column, int row) const {
    const std::uint64_t keep = keepWords_[static_cast<size_t>(column)];
    if (keep == 0)
        return true;
    const int from = std::max(row * kRows, firstRow_);
    const int to = std::min((row + 1) * kRows, endRow_);
    for (int y = from; y < to; ++y)
        if ((plane_.row(y)[column] & keep) != keep)
            return false;
    return true;
}

void CoveredTiles::sum() const {
    const int w = columns_ + 1;
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < columns_; ++c)
            sums_[static_cast<size_t>(r + 1) * w + c + 1] =
                openTiles_[static_cast<size_t>(r) * columns_ + c] +
                sums_[static_cast<size_t>(r) * w + c + 1] +
                sums_[static_cast<size_t>(r + 1) * w + c] - sums_[static_cast<size_t>(r) * w + c];
    stale_ = false;
}

template <typename Visit>
bool CoveredTiles::forTiles(const QPoint& a, const QPoint& b, Visit&& visit) const {
    // Plane-relative, with the margin; what lies off the plane cannot be written.
    const double ax = a.x() - plane_.rect.left(), ay = a.y() - plane_.rect.top();
    const double bx = b.x() - plane_.rect.left(), by = b.y() - plane_.rect.top();
    const double x0 = std::max(std::min(ax, bx) - kMargin, 0.0);
    const double x1 = std::min(std::max(ax, bx) + kMargin, width_ - 1.0);
    const double y0 = std::max(std::min(ay, by) - kMargin, 0.0);
    const double y1 = std::min(std::max(ay, by) + kMargin, height_ - 1.0);
    if (x0 > x1 || y0 > y1)
        return true;
    const int c0 = static_cast<int>(x0) >> 6, c1 = static_cast<int>(x1) >> 6;
    const bool steep = std::abs(bx - ax) < 1.0;
    const double slope = steep ? 0.0 : (by - ay) / (bx - ax);
    const double lx = std::min(ax, bx), hx = std::max(ax, bx);
    for (int c = c0; c <= c1; ++c) {
        double lo = y0, hi = y1;
        if (!steep) {
            // The line's rows over this tile column (its part of [x0, x1]), with the margin.
            const double u0 = std::clamp(std::max(x0, c * 64.0), lx, hx);
            const double u1 = std::clamp(std::min(x1, c * 64.0 + 63.0), lx, hx);
            const double v0 = ay + (u0 - ax) * slope, v1 = ay + (u1 - ax) * slope;
            lo = std::max(lo, std::min(v0, v1) - kMargin);
            hi = std::min(hi, std::max(v0, v1) + kMargin);
        }
        if (lo > hi)
            continue;
        const int r0 = static_cast<int>(lo) / kRows, r1 = static_cast<int>(hi) / kRows;
        for (int r = r0; r <= r1; ++r)
            if (!visit(c, r))
                return false;
    }
    return true;
}

bool CoveredTiles::maybeOpen(const QPoint& a, const QPoint& b) const {
    if (open_ == 0)
        return false;
    // The box of the segment first, at once: mostly it settles the question.
    const int left =
        std::clamp((std::min(a.x(), b.x()) - kMargin - plane_.rect.left()) >> 6, 0, columns_ - 1);
    const int right =
        std::clamp((std::max(a.x(), b.x()) + kMargin - plane_.rect.left()) >> 6, 0, columns_ - 1);
    const int top =
        std::clamp((std::min(a.y(), b.y()) - kMargin - plane_.rect.top()) / kRows, 0, rows_ - 1);
    const int bottom =
        std::clamp((std::max(a.y(), b.y()) + kMargin - plane_.rect.top()) / kRows, 0, rows_ - 1);
    if (stale_)
        sum();
    const int w = columns_ + 1;
    const int inBox = sums_[static_cast<size_t>(bottom + 1) * w + right + 1] -
                      sums_[static_cast<size_t>(top) * w + right + 1] -
                      sums_[static_cast<size_t>(bottom + 1) * w + left] +
                      sums_[static_cast<size_t>(top) * w + left];
    return inBox != 0;
}

void CoveredTiles::openStretches(const QPoint& a, const QPoint& b, std::vector<QRect>& out) {
    out.clear();
    if (!maybeOpen(a, b))
        return;
    // Along the segment's longer axis, the tile columns (or rows) where it touches an open
    // tile. Whichever axis the line walks along, a stretch spans the whole other one, so
    // that pixels outside every stretch are only ever those in full tiles.
    const bool alongX = std::abs(static_cast<long long>(b.x()) - a.x()) >=
                        std::abs(static_cast<long long>(b.y()) - a.y());
    const int count = alongX ? columns_ : rows_;
    majorOpen_.assign(static_cast<size_t>(count), 0);
    touched_.clear();
    forTiles(a, b, [&](int c, int r) {
        const size_t tile = static_cast<size_t>(r) * columns_ + c;
        if (openTiles_[tile] != 0) {
            majorOpen_[static_cast<size_t>(alongX ? c : r)] = 1;
            touched_.push_back(static_cast<int>(tile));
        }
        return true;
    });
    constexpr int kAll = 1 << 29; // the other axis: every pixel
    for (int k = 0; k < count;) {
        if (majorOpen_[static_cast<size_t>(k)] == 0) {
            ++k;
            continue;
        }
        int end = k + 1;
        while (end < count && majorOpen_[static_cast<size_t>(end)] != 0)
            ++end;
        if (alongX)
            out.push_back(QRect(QPoint(plane_.rect.left() + k * 64, -kAll),
                                QPoint(plane_.rect.left() + end * 64 - 1, kAll)));
        else
            out.push_back(QRect(QPoint(-kAll, plane_.rect.top() + k * kRows),
                                QPoint(kAll, plane_.rect.top() + end * kRows - 1)));
        k = end;
    }
}

void CoveredTiles::drawn() {
    for (const int tile : touched_) {
        std::uint8_t& isOpen = openTiles_[static_cast<size_t>(tile)];
        if (isOpen != 0 && full(tile % columns_, tile / columns_)) {
            isOpen = 0;
            --open_;
            stale_ = true;
        }
    }
    touched_.clear();
}

std::size_t drawUncovered(const QPoint* in, std::size_t count, ThinLine& thin, const Plane& plane,
                          const QRect& allowed, std::vector<QPoint>& closed) {
    // Pixels beyond the box of all vertices can never be written by the line (each segment
    // is drawn on its own, so no joint reaches past its ends): they count as set.
    int left = 0, right = -1, top = 0, bottom = -1;
    bool any = false;
    for (const QPoint* v = in; v != in + count; ++v) {
        if (v->x() == kBreak)
            continue;
        if (!any) {
            left = right = v->x();
            top = bottom = v->y();
            any = true;
        }
        left = std::min(left, v->x());
        right = std::max(right, v->x());
        top = std::min(top, v->y());
        bottom = std::max(bottom, v->y());
    }
    CoveredTiles tiles(plane, allowed & QRect(QPoint(left, top), QPoint(right, bottom)));
    std::size_t drawnCount = 0;
    std::vector<QRect> stretches;
    forEachRun(in, count, [&](const QPoint* run, int n) {
        if (n >= 2 && run[0] == run[n - 1]) {
            // Closed: the engine draws it as a figure, ThinLine does not.
            closed.push_back(breakMark());
            closed.insert(closed.end(), run, run + n);
            return;
        }
        for (int i = 1; i < n && tiles.open() > 0; ++i) {
            // Only the stretches of the segment over open tiles are walked: every pixel it
            // has elsewhere lies in a full tile, set already.
            tiles.openStretches(run[i - 1], run[i], stretches);
            if (stretches.empty())
                continue;
            for (const QRect& stretch : stretches) {
                thin.limitTo(stretch);
                thin.polyline(run + i - 1, 2);
            }
            tiles.drawn();
            ++drawnCount;
        }
        thin.unlimit();
    });
    return drawnCount;
}

} // namespace tellurix::lumenfold::plotting::detail
