#include "covered_tiles.h"

#include "vertex_runs.h"
#include "wide_loops.h"

#include <algorithm>
#include <climits>
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
    fullRows_.assign(static_cast<size_t>(columns_) * static_cast<size_t>(rows_), 0);
    columnWords_ = (rows_ + 63) / 64;
    byColumn_.assign(static_cast<size_t>(columns_) * static_cast<size_t>(columnWords_), 0);
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < columns_; ++c)
            if (!full(c, r)) {
                byColumn_[static_cast<size_t>(c) * columnWords_ + (r >> 6)] |= std::uint64_t{1}
                                                                               << (r & 63);
                ++open_;
            }
    sums_.assign(static_cast<size_t>(columns_ + 1) * static_cast<size_t>(rows_ + 1), 0);
}

bool CoveredTiles::full(int column, int row) {
    const std::uint64_t keep = keepWords_[static_cast<size_t>(column)];
    if (keep == 0)
        return true;
    // Rows found full stay so (bits are only ever set): the next look starts after them.
    std::uint8_t& known = fullRows_[static_cast<size_t>(row) * columns_ + column];
    const int from = std::max(row * kRows + known, firstRow_);
    const int to = std::min((row + 1) * kRows, endRow_);
    for (int y = from; y < to; ++y)
        if ((plane_.row(y)[column] & keep) != keep) {
            known = static_cast<std::uint8_t>(y - row * kRows);
            return false;
        }
    return true;
}

void CoveredTiles::close(int column, int row) {
    byColumn_[static_cast<size_t>(column) * columnWords_ + (row >> 6)] &=
        ~(std::uint64_t{1} << (row & 63));
    --open_;
    stale_ = true;
}

bool CoveredTiles::boxOf(const QPoint& a, const QPoint& b, Box& box) const {
    // Plane-relative, in 64 bits: vertices may lie anywhere an int reaches. The box is cut
    // to the plane; off the plane it is cut to edge tiles, and false says it does not count.
    // No branch on the data: mayBeOpen takes it for whole blocks of segments.
    const std::int64_t ax = a.x(), bx = b.x(), ay = a.y(), by = b.y();
    const std::int64_t x0 = std::min(ax, bx) - kMargin - plane_.rect.left();
    const std::int64_t x1 = std::max(ax, bx) + kMargin - plane_.rect.left();
    const std::int64_t y0 = std::min(ay, by) - kMargin - plane_.rect.top();
    const std::int64_t y1 = std::max(ay, by) + kMargin - plane_.rect.top();
    const std::int64_t right = width_ - 1, bottom = height_ - 1;
    box = Box{static_cast<int>(std::clamp<std::int64_t>(x0, 0, right) >> 6),
              static_cast<int>(std::clamp<std::int64_t>(x1, 0, right) >> 6),
              static_cast<int>(std::clamp<std::int64_t>(y0, 0, bottom) / kRows),
              static_cast<int>(std::clamp<std::int64_t>(y1, 0, bottom) / kRows)};
    return x0 <= right && x1 >= 0 && y0 <= bottom && y1 >= 0;
}

void CoveredTiles::count() {
    const int w = columns_ + 1;
    for (int r = 0; r < rows_; ++r)
        for (int c = 0; c < columns_; ++c)
            sums_[static_cast<size_t>(r + 1) * w + c + 1] =
                static_cast<int>((column(c)[r >> 6] >> (r & 63)) & 1u) +
                sums_[static_cast<size_t>(r) * w + c + 1] +
                sums_[static_cast<size_t>(r + 1) * w + c] - sums_[static_cast<size_t>(r) * w + c];
    stale_ = false;
}

int CoveredTiles::mayBeOpen(const QPoint* run, int count, int* out) {
    if (open_ == 0 || width_ <= 0 || height_ <= 0)
        return 0;
    if (stale_)
        this->count();
    const int w = columns_ + 1;
    const int* sums = sums_.data();
    int found = 0, k = 0;
    if (wideLoops() && count >= 8) {
        static_assert(kRows == 1 << 4, "the wide loop takes rows by shifting");
        const TileCounts counts{
            sums, w, plane_.rect.left(), plane_.rect.top(), width_ - 1, height_ - 1, kMargin, 4};
        found = avx2::tilesOpen(reinterpret_cast<const int*>(run), count / 8, counts, out);
        k = count / 8 * 8;
    }
    for (; k < count; ++k) {
        Box box{};
        const bool on = boxOf(run[k], run[k + 1], box);
        const int c0 = box.c0, c1 = box.c1 + 1, r0 = box.r0 * w, r1 = (box.r1 + 1) * w;
        const int inBox = sums[r1 + c1] - sums[r0 + c1] - sums[r1 + c0] + sums[r0 + c0];
        out[found] = k;
        found += on && inBox != 0 ? 1 : 0;
    }
    return found;
}

namespace {

// Whether any bit in [from, to] of a row of words is set.
bool anyBit(const std::uint64_t* words, int from, int to) {
    const int first = from >> 6, last = to >> 6;
    const std::uint64_t head = ~std::uint64_t{0} << (from & 63);
    const std::uint64_t tail = ~std::uint64_t{0} >> (63 - (to & 63));
    if (first == last)
        return (words[first] & head & tail) != 0;
    if ((words[first] & head) != 0)
        return true;
    for (int k = first + 1; k < last; ++k)
        if (words[k] != 0)
            return true;
    return (words[last] & tail) != 0;
}

// Calls visit(k) for each set bit k in [from, to] of a row of words, from a copy of each
// word: bits cleared meanwhile are still visited.
template <typename Visit>
void forEachBit(const std::uint64_t* words, int from, int to, Visit&& visit) {
    for (int w = from >> 6; w <= to >> 6; ++w) {
        std::uint64_t bits = words[w];
        if (w == from >> 6)
            bits &= ~std::uint64_t{0} << (from & 63);
        if (w == to >> 6)
            bits &= ~std::uint64_t{0} >> (63 - (to & 63));
        while (bits != 0) {
            visit(w * 64 + __builtin_ctzll(bits));
            bits &= bits - 1;
        }
    }
}

} // namespace

void CoveredTiles::openStretches(const QPoint& a, const QPoint& b, std::vector<QRect>& out) {
    out.clear();
    touched_.clear();
    Box box{};
    if (open_ == 0 || !boxOf(a, b, box))
        return;
    // Along the segment's longer axis, the tile columns (or rows) where it touches an open
    // tile. Whichever axis the line walks along, a stretch spans the whole other one, so
    // that pixels outside every stretch are only ever those in full tiles.
    const bool alongX = std::abs(static_cast<long long>(b.x()) - a.x()) >=
                        std::abs(static_cast<long long>(b.y()) - a.y());
    const int count = alongX ? columns_ : rows_;
    majorOpen_.assign(static_cast<size_t>((count + 63) / 64), 0);
    // Plane-relative, with the margin; what lies off the plane cannot be written.
    const double ax = a.x() - plane_.rect.left(), ay = a.y() - plane_.rect.top();
    const double bx = b.x() - plane_.rect.left(), by = b.y() - plane_.rect.top();
    const double x0 = std::max(std::min(ax, bx) - kMargin, 0.0);
    const double x1 = std::min(std::max(ax, bx) + kMargin, width_ - 1.0);
    const double y0 = std::max(std::min(ay, by) - kMargin, 0.0);
    const double y1 = std::min(std::max(ay, by) + kMargin, height_ - 1.0);
    const bool upright = std::abs(bx - ax) < 1.0;
    const double slope = upright ? 0.0 : (by - ay) / (bx - ax);
    const double lx = std::min(ax, bx), hx = std::max(ax, bx);
    for (int c = box.c0; c <= box.c1; ++c) {
        double lo = y0, hi = y1;
        if (!upright) {
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
        if (alongX) {
            if (!anyBit(column(c), r0, r1))
                continue;
            majorOpen_[static_cast<size_t>(c >> 6)] |= std::uint64_t{1} << (c & 63);
        } else {
            bool any = false;
            forEachBit(column(c), r0, r1, [&](int r) {
                majorOpen_[static_cast<size_t>(r >> 6)] |= std::uint64_t{1} << (r & 63);
                any = true;
            });
            if (!any)
                continue;
        }
        touched_.push_back(Touched{c, r0, r1});
    }
    // Runs of open tiles along the major axis become the stretches.
    constexpr int kAll = 1 << 29; // the other axis: every pixel
    int k = 0;
    while (k < count) {
        const std::uint64_t word = majorOpen_[static_cast<size_t>(k >> 6)] >> (k & 63);
        if (word == 0) {
            k = (k | 63) + 1;
            continue;
        }
        k += __builtin_ctzll(word);
        int end = k + 1;
        while (end < count && ((majorOpen_[static_cast<size_t>(end >> 6)] >> (end & 63)) & 1u) != 0)
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
    for (const Touched& t : touched_)
        forEachBit(column(t.column), t.from, t.to, [&](int r) {
            if (full(t.column, r))
                close(t.column, r);
        });
    touched_.clear();
}

std::size_t drawUncovered(const QPoint* in, std::size_t count, ThinLine& thin, const Plane& plane,
                          const QRect& allowed, std::vector<QPoint>& closed) {
    // Pixels beyond the box of all vertices can never be written by the line (each segment
    // is drawn on its own, so no joint reaches past its ends): they count as set.
    // A break is (kBreak, kBreak), the least int: no maximum sees it, and the minima see the
    // greatest int in its place.
    int box[4] = {INT_MAX, INT_MAX, INT_MIN, INT_MIN}; // left, top, right, bottom
    std::size_t k = 0;
    if (wideLoops()) {
        k = count / 4 * 4;
        avx2::vertexBox(reinterpret_cast<const int*>(in), k, box);
    }
    for (; k < count; ++k) {
        const int x = in[k].x(), y = in[k].y();
        box[0] = std::min(box[0], x == kBreak ? INT_MAX : x);
        box[1] = std::min(box[1], y == kBreak ? INT_MAX : y);
        box[2] = std::max(box[2], x);
        box[3] = std::max(box[3], y);
    }
    const QRect reach =
        box[0] <= box[2] ? QRect(QPoint(box[0], box[1]), QPoint(box[2], box[3])) : QRect();
    CoveredTiles tiles(plane, allowed & reach);
    std::size_t drawnCount = 0;
    std::vector<QRect> stretches;
    constexpr int kBlock = 512;
    int maybe[kBlock];
    forEachRun(in, count, [&](const QPoint* run, int n) {
        if (n >= 2 && run[0] == run[n - 1]) {
            // Closed: the engine draws it as a figure, ThinLine does not.
            closed.push_back(breakMark());
            closed.insert(closed.end(), run, run + n);
            return;
        }
        // Segments are first sorted out a block at a time by the tiles' counts; only those
        // that may reach an open tile are looked at one by one.
        for (int from = 1; from < n && tiles.open() > 0; from += kBlock) {
            const int found = tiles.mayBeOpen(run + from - 1, std::min(kBlock, n - from), maybe);
            for (int j = 0; j < found && tiles.open() > 0; ++j) {
                const int i = from + maybe[j];
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
        }
        thin.unlimit();
    });
    return drawnCount;
}

} // namespace tellurix::lumenfold::plotting::detail
