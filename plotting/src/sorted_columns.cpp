#include "sorted_columns.h"

#include "vertex_runs.h"
#include "wide_loops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tellurix::lumenfold::plotting::detail {

ColumnRange ColumnRange::of(const CollectInput& in) {
    const double pw = std::max(1.0, in.penWidth);
    return {static_cast<std::int64_t>(std::floor(in.canvas.left() - pw - 2.0)),
            static_cast<std::int64_t>(std::ceil(in.canvas.right() + pw + 2.0))};
}

namespace {

// The first index after `from` whose pixel column is not `c` (the column of `from`), or n.
// Columns never go back, so neighbouring columns are found by search. The search looks
// first where `guess` says (the last column's count of points usually fits the next one as
// well) and gallops from there: with evenly spread X a column costs two neighbouring reads
// of X, instead of a read far away in memory at every step of a search from the start.
template <typename Column>
int columnEnd(const Column& column, std::int64_t c, int from, int n, std::int64_t guess) {
    std::int64_t lo = from; // known to lie in the column
    std::int64_t hi = n;    // known to lie past it (or the end)
    const std::int64_t probe = std::clamp<std::int64_t>(guess, from + 1, n) - 1;
    if (probe > lo) {
        if (column(static_cast<int>(probe)) == c) {
            lo = probe;
        } else {
            hi = probe;
            for (std::int64_t step = 1; hi - step > lo; step *= 2) {
                const std::int64_t q = hi - step;
                if (column(static_cast<int>(q)) == c) {
                    lo = q;
                    break;
                }
                hi = q;
            }
        }
    }
    if (hi == n) {
        for (std::int64_t step = 1; lo + step < n; step *= 2) {
            const std::int64_t q = lo + step;
            if (column(static_cast<int>(q)) != c) {
                hi = q;
                break;
            }
            lo = q;
        }
    }
    while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (column(static_cast<int>(mid)) == c)
            lo = mid;
        else
            hi = mid;
    }
    return static_cast<int>(hi);
}

// The marks of one pixel column, one byte per plane row. They stay in the first-level cache
// while the column's points are walked, whereas the plane is row-major and each of its rows a
// cache line of its own: the plane then gets one store per distinct row of the column instead
// of one per point. A byte store per point, not a bit set in a word, so that points on
// neighbouring rows do not wait for each other's read-modify-write of the same word. One
// spare byte past the rows takes the points off the plane, so that marking needs no branch.
class ColumnRows {
public:
    void start(int height) {
        rows_ = static_cast<std::uint64_t>(std::max(0, height));
        thread_local std::vector<std::uint8_t> storage;
        storage.assign(static_cast<std::size_t>(rows_) + 8, 0);
        flags_ = storage.data();
    }
    std::uint8_t* flags() const { return flags_; }
    std::uint64_t rows() const { return rows_; }
    /// Marks row r of the plane, or the spare byte when r lies off the plane (as unsigned).
    static void set(std::uint8_t* flags, std::uint64_t rows, std::uint64_t r) {
        flags[r < rows ? r : rows] = 1;
    }
    /// ORs `mask` into the plane word `column` (a word of row 0) of every marked row between
    /// pixel rows `low` and `high` (relative to the plane's top), and clears the marks.
    void flush(std::int64_t low, std::int64_t high, std::uint64_t* column, std::size_t stride,
               std::uint64_t mask) {
        flags_[rows_] = 0;
        const std::int64_t from = std::max<std::int64_t>(low, 0);
        const std::int64_t to = std::min<std::int64_t>(high + 1, static_cast<std::int64_t>(rows_));
        // Eight flags at a time (the storage has room past the last row): which rows are
        // marked is as good as random, and a branch per row would mostly guess wrong.
        for (std::int64_t r = from; r < to; r += 8) {
            std::uint64_t w;
            std::memcpy(&w, flags_ + r, sizeof w);
            if (w == 0)
                continue;
            std::memset(flags_ + r, 0, sizeof w);
            do {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                const int j = __builtin_clzll(w) >> 3;
                w &= ~(std::uint64_t{1} << (63 - __builtin_clzll(w)));
#else
                const int j = __builtin_ctzll(w) >> 3;
                w &= w - 1;
#endif
                if (r + j < to)
                    column[static_cast<std::size_t>(r + j) * stride] |= mask;
            } while (w != 0);
        }
    }

private:
    std::uint8_t* flags_ = nullptr;
    std::uint64_t rows_ = 0;
};

// The vertices of whole columns, gathered in a small buffer without a branch on the data and
// appended to the curve's vertices a thousand at a time: which extreme of a column came
// first, and which of its vertices repeat the one before, are as good as random from column
// to column, and branches on them would mostly guess wrong. Everything else appended to the
// vertices goes through vertices(), which appends the gathered ones first.
class ColumnVertices {
public:
    explicit ColumnVertices(std::vector<QPoint>& verts)
        : verts_(verts) {
        thread_local std::vector<QPoint> storage(kGather + 4);
        buffer_ = storage.data();
    }
    ColumnVertices(const ColumnVertices&) = delete;
    ColumnVertices& operator=(const ColumnVertices&) = delete;

    /// As ColumnExtremes::close for a column all in pixel column x: first, lowest and
    /// highest in the order they came, last, each unless it repeats the vertex before it.
    void add(int x, const ColumnScan& s) {
        // Nothing before: a vertex of another column, which none here repeats.
        QPoint last =
            count_ > 0 ? buffer_[count_ - 1] : (verts_.empty() ? QPoint(x + 1, 0) : verts_.back());
        const bool lowFirst = s.lowAt <= s.highAt;
        const int rows[4] = {s.firstY, lowFirst ? s.lowY : s.highY, lowFirst ? s.highY : s.lowY,
                             s.lastY};
        for (const int y : rows) {
            const QPoint q(x, y);
            buffer_[count_] = q;
            count_ += q != last ? 1 : 0;
            last = q;
        }
        if (count_ >= kGather)
            vertices();
    }
    /// The curve's vertices, with every column gathered so far appended.
    std::vector<QPoint>& vertices() {
        verts_.insert(verts_.end(), buffer_, buffer_ + count_);
        count_ = 0;
        return verts_;
    }

private:
    static constexpr std::size_t kGather = 1024;
    std::vector<QPoint>& verts_;
    QPoint* buffer_;
    std::size_t count_ = 0;
};

// ORs `mask` into the plane word `column` (a word of row 0) of each row of a scan's window
// that lies on the plane (rows relative to its top).
void markWindow(std::uint64_t window, std::int64_t window0, std::uint64_t rows,
                std::uint64_t* column, std::size_t stride, std::uint64_t mask) {
    // The window's rows off the plane are dropped once, not tested row by row: a column's
    // rows, some 40 to 80 of them in a dense curve, are most of its marking.
    const std::int64_t from = std::max<std::int64_t>(0, -window0);
    const std::int64_t to = std::min<std::int64_t>(64, static_cast<std::int64_t>(rows) - window0);
    if (from >= to)
        return;
    if (from > 0)
        window &= ~std::uint64_t{0} << from;
    if (to < 64)
        window &= ~(~std::uint64_t{0} << to);
    while (window != 0) {
        const std::int64_t r = window0 + __builtin_ctzll(window);
        window &= window - 1;
        column[static_cast<std::size_t>(r) * stride] |= mask;
    }
}

// Maps Y as `map` does and rounds as roundPixel does, so that the rows are the very same as
// point by point; with `Marking`, flags the rows (relative to `top`, off the plane to the
// spare flag).
template <bool Marking>
ColumnScan scanColumn(bool nearby, const double* ys, int from, int end, int horizon,
                      const LinearMap& map, std::uint8_t* flags, std::int64_t top,
                      std::uint64_t rows) {
    auto pixel = [&map](double y) { return static_cast<int>(roundPixel(map(y))); };
    auto mark = [&](int py) {
        if constexpr (Marking)
            ColumnRows::set(flags, rows, static_cast<std::uint64_t>(py - top));
    };
    ColumnScan s{};
    s.firstY = s.lowY = s.highY = pixel(ys[from]);
    s.lowAt = s.highAt = from;
    mark(s.firstY);
    int k = from + 1;
    // Rows relative to the plane must not overflow 32 bits: Y is within +-kFar already.
    constexpr std::int64_t kRoom = std::int64_t{1} << 30;
    if (end - k >= 8 && top > -kRoom && top < kRoom && rows < static_cast<std::uint64_t>(kRoom) &&
        wideLoops())
        k = avx2::scanColumn(Marking, nearby, ys, k, end, horizon, map.p1, map.s1, map.cnv, flags,
                             static_cast<int>(top), static_cast<int>(rows), s);
    for (; k < end; ++k) {
        const int py = pixel(ys[k]);
        mark(py);
        const bool below = py < s.lowY;
        const bool above = py > s.highY;
        s.lowAt = below ? k : s.lowAt;
        s.lowY = below ? py : s.lowY;
        s.highAt = above ? k : s.highAt;
        s.highY = above ? py : s.highY;
    }
    s.lastY = end - from > 1 ? pixel(ys[end - 1]) : s.firstY;
    return s;
}

} // namespace

void collectMonotone(const CollectInput& in, std::vector<QPoint>& verts, Plane* marks) {
    const ColumnRange range = ColumnRange::of(in);
    const double* xs = in.xs;
    const double* ys = in.ys;
    const int n = in.n;
    const QwtScaleMap& xMap = *in.xMap;
    const QwtScaleMap& yMap = *in.yMap;
    auto column = [&](int k) {
        return std::clamp(roundPixel(xMap.transform(xs[k])), range.left, range.right);
    };
    const std::optional<LinearMap> linearY = LinearMap::of(yMap, in.logY);
    const LinearMap mapY = linearY.value_or(LinearMap{});
    // Every Y maps well within +-kFar (a linear map takes the bounds to the ends of what it
    // gives them): the wide scan need not pull rows in.
    const bool nearby = in.yBounded && linearY && std::abs(mapY(in.ymin)) < kFar / 2 &&
                        std::abs(mapY(in.ymax)) < kFar / 2;
    ColumnRows columnRows;
    if (marks)
        columnRows.start(marks->rect.height());
    ColumnExtremes extremes;
    ColumnVertices columns(verts);

    // The common case in a tight loop: every X here is finite (and positive on a log axis), Y
    // maps linearly, and the marks of this column are one bit in each row.
    auto walkColumn = [&](int from, int end, std::int64_t c) {
        std::uint64_t* word = nullptr;
        std::uint64_t mask = 0;
        if (marks && c >= marks->rect.left() && c <= marks->rect.right()) {
            const std::int64_t cx = c - marks->rect.left();
            word = marks->row(0) + (cx >> 6);
            mask = std::uint64_t{1} << (cx & 63);
        }
        std::uint8_t* const rowFlags = columnRows.flags();
        const std::uint64_t rowCount = columnRows.rows();
        const std::int64_t top = marks ? marks->rect.top() : 0;
        const bool marking = word != nullptr;
        // The rows this column's points reach.
        int spanLow = std::numeric_limits<int>::max(), spanHigh = std::numeric_limits<int>::min();
        // Each stretch of finite Y is kept like a column of its own; NaN and infinite Y break
        // the line. Without them (known from the data's summary) the column is one stretch.
        for (int k = from; k < end;) {
            int stop = end;
            if (!in.finite) {
                if (!finiteValue(ys[k])) {
                    columns.vertices().push_back(breakMark());
                    ++k;
                    continue;
                }
                stop = k + 1;
                while (stop < end && finiteValue(ys[stop]))
                    ++stop;
            }
            const ColumnScan scan =
                marking ? scanColumn<true>(nearby, ys, k, stop, n, mapY, rowFlags, top, rowCount)
                        : scanColumn<false>(nearby, ys, k, stop, n, mapY, nullptr, 0, 0);
            if (scan.window != 0)
                markWindow(scan.window, scan.window0, rowCount, word,
                           static_cast<std::size_t>(marks->stride), mask);
            columns.add(static_cast<int>(c), scan);
            spanLow = std::min(spanLow, scan.lowY);
            spanHigh = std::max(spanHigh, scan.highY);
            k = stop;
        }
        if (marking)
            columnRows.flush(spanLow - top, spanHigh - top, word,
                             static_cast<std::size_t>(marks->stride), mask);
    };

    std::int64_t count = 1; // points in the last column
    int i = 0;
    while (i < n) {
        const std::int64_t c = column(i);
        const int end = columnEnd(column, c, i, n, i + count);
        count = end - i;
        // The next column's search reads X where that column likely ends: ask for it early,
        // since it lies far from anything read lately.
        if (end + count < n)
            __builtin_prefetch(xs + end + count - 1);
        const bool folded = c == range.left || c == range.right;
        if (!folded && linearY) {
            walkColumn(i, end, c);
            i = end;
            continue;
        }
        // A folded column, or Y on a log axis: point by point, each unbroken stretch kept
        // like a column of its own.
        columns.vertices();
        for (int k = i; k < end; ++k) {
            const double x = xs[k], y = ys[k];
            if (!usable(x, y, in.logX, in.logY)) {
                extremes.close(verts);
                verts.push_back(breakMark());
                continue;
            }
            const std::int64_t px = folded ? roundPixel(xMap.transform(x)) : c;
            const std::int64_t py = roundPixel(yMap.transform(y));
            if (marks && !folded)
                marks->setIn(px, py);
            if (!extremes.open())
                extremes.start(px, py, k);
            else
                extremes.add(px, py, k);
        }
        extremes.close(verts);
        i = end;
    }
    columns.vertices();
}

bool collectSorted(const CollectInput& in, std::vector<QPoint>& verts, Plane* marks) {
    const ColumnRange range = ColumnRange::of(in);
    int direction = 0;
    double prevX = 0.0;
    bool havePrev = false;
    ColumnExtremes extremes;
    std::int64_t col = 0;
    for (int i = 0; i < in.n; ++i) {
        const double x = in.xs[i], y = in.ys[i];
        if (!usable(x, y, in.logX, in.logY)) {
            extremes.close(verts);
            verts.push_back(breakMark());
            continue;
        }
        if (havePrev) {
            if (x > prevX) {
                if (direction < 0)
                    return false;
                direction = 1;
            } else if (x < prevX) {
                if (direction > 0)
                    return false;
                direction = -1;
            }
        }
        prevX = x;
        havePrev = true;

        const std::int64_t px = roundPixel(in.xMap->transform(x));
        const std::int64_t py = roundPixel(in.yMap->transform(y));
        if (marks)
            marks->setIn(px, py);
        const std::int64_t c = std::clamp(px, range.left, range.right);
        if (!extremes.open() || c != col) {
            extremes.close(verts);
            col = c;
            extremes.start(px, py, i);
            continue;
        }
        extremes.add(px, py, i);
    }
    extremes.close(verts);
    return true;
}

} // namespace tellurix::lumenfold::plotting::detail
