#include "parametric_points.h"

#include "vertex_runs.h"
#include "wide_loops.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tellurix::lumenfold::plotting::detail {

namespace {

constexpr int kGrowBlock = 4096; // points; a power of two

struct Box {
    std::int64_t left, right, top, bottom;
};

// When every point lands inside `box` (as after fitting the view to the data), no point
// needs a test: one pass without branches on the data keeps each pixel that differs from
// the one before and marks it for its symbol. False, with nothing appended, otherwise.
bool collectInside(const CollectInput& in, const Bounds& b, const LinearMap& mapX,
                   const LinearMap& mapY, const Box& canvas, std::vector<QPoint>& verts,
                   Plane* marks) {
    const double x0 = mapX(b.xmin), x1 = mapX(b.xmax);
    const double y0 = mapY(b.ymin), y1 = mapY(b.ymax);
    const QRect box =
        marks != nullptr
            ? marks->rect
            : QRect(QPoint(static_cast<int>(canvas.left), static_cast<int>(canvas.top)),
                    QPoint(static_cast<int>(canvas.right), static_cast<int>(canvas.bottom)));
    if (box.left() < 0 || box.top() < 0 || roundPixel(std::min(x0, x1)) < box.left() ||
        roundPixel(std::max(x0, x1)) > box.right() || roundPixel(std::min(y0, y1)) < box.top() ||
        roundPixel(std::max(y0, y1)) > box.bottom())
        return false;

    const double* xs = in.xs;
    const double* ys = in.ys;
    const int n = in.n;
    const size_t base = verts.size();
    verts.reserve(base + static_cast<size_t>(n));
    QPoint* const out = verts.data() + base;
    size_t k = 0;
    int lastX = -1, lastY = -1; // no pixel: every coordinate here is at least 0
    const double wideX[3] = {mapX.p1, mapX.s1, mapX.cnv}, wideY[3] = {mapY.p1, mapY.s1, mapY.cnv};
    const bool wide = wideLoops();
    // `wideBits`: the plane's bits for the wide loop, when it marks.
    auto pass = [&](auto&& mark, std::uint64_t* wideBits) {
        // The vector is grown a block at a time just ahead of the writes, so that the zeros
        // it fills in are still in the cache when the points overwrite them.
        for (int from = 0; from < n; from += kGrowBlock) {
            const int to = std::min(n, from + kGrowBlock);
            verts.resize(base + k + static_cast<size_t>(to - from));
            int i = from;
            if (wide) {
                // Four at a time; the vector's room for the block takes its extra writes.
                const int groups = (to - from) / 4;
                k = avx2::collectInside(xs, ys, from, groups, wideX, wideY,
                                        reinterpret_cast<int*>(out), k, lastX, lastY, wideBits,
                                        marks != nullptr ? marks->stride : 0,
                                        marks != nullptr ? marks->rect.left() : 0,
                                        marks != nullptr ? marks->rect.top() : 0);
                i = from + 4 * groups;
            }
            for (; i < to; ++i) {
                // Pixel coordinates are not negative here, so truncation rounds as roundPixel.
                // NOLINTNEXTLINE(bugprone-incorrect-roundings)
                const int px = static_cast<int>(mapX(xs[i]) + 0.5);
                // NOLINTNEXTLINE(bugprone-incorrect-roundings)
                const int py = static_cast<int>(mapY(ys[i]) + 0.5);
                out[k] = QPoint(px, py);
                // Both tests, without a branch on the data.
                // NOLINTNEXTLINE(clang-diagnostic-bitwise-instead-of-logical)
                k += ((px != lastX) | (py != lastY)) ? 1 : 0;
                mark(px, py);
                lastX = px;
                lastY = py;
            }
        }
    };
    if (marks != nullptr) {
        std::uint64_t* bits = marks->row(0);
        const auto stride = static_cast<std::ptrdiff_t>(marks->stride);
        const int ml = marks->rect.left(), mt = marks->rect.top();
        pass(
            [=](int px, int py) {
                const int cx = px - ml;
                bits[(py - mt) * stride + (cx >> 6)] |= std::uint64_t{1} << (cx & 63);
            },
            bits);
    } else {
        pass([](int, int) {}, nullptr);
    }
    verts.resize(base + k);
    return true;
}

} // namespace

void collectParametric(const CollectInput& in, const std::optional<Bounds>& bounds,
                       std::vector<QPoint>& verts, Plane* marks) {
    const double m = std::max(1.0, in.penWidth) + 2.0;
    const Box canvas{static_cast<std::int64_t>(std::floor(in.canvas.left() - m)),
                     static_cast<std::int64_t>(std::ceil(in.canvas.right() + m)),
                     static_cast<std::int64_t>(std::floor(in.canvas.top() - m)),
                     static_cast<std::int64_t>(std::ceil(in.canvas.bottom() + m))};
    auto outcode = [&canvas](std::int64_t x, std::int64_t y) {
        return (x < canvas.left ? 1u : 0u) | (x > canvas.right ? 2u : 0u) |
               (y < canvas.top ? 4u : 0u) | (y > canvas.bottom ? 8u : 0u);
    };
    const auto lx = LinearMap::of(*in.xMap, in.logX);
    const auto ly = LinearMap::of(*in.yMap, in.logY);
    if (in.finite && lx && ly && bounds &&
        collectInside(in, *bounds, *lx, *ly, canvas, verts, marks))
        return;

    unsigned runCode = 0; // edges shared by the current run of outside points
    bool pending = false; // the run's latest point, not yet emitted
    QPoint pendingPoint;
    std::int64_t lastX = 0, lastY = 0; // the latest point taken (emitted or pending)
    bool haveLast = false;
    auto walk = [&](auto&& ok, auto&& mapX, auto&& mapY) {
        for (int i = 0; i < in.n; ++i) {
            const double x = in.xs[i], y = in.ys[i];
            if (!ok(x, y)) {
                if (pending)
                    verts.push_back(pendingPoint);
                pending = false;
                runCode = 0;
                haveLast = false;
                verts.push_back(breakMark());
                continue;
            }
            const std::int64_t px = roundPixel(mapX(x));
            const std::int64_t py = roundPixel(mapY(y));
            if (haveLast && px == lastX && py == lastY)
                continue;
            if (marks)
                marks->setIn(px, py);
            const QPoint p(static_cast<int>(px), static_cast<int>(py));
            lastX = px;
            lastY = py;
            const unsigned code = outcode(px, py);
            if (haveLast && (runCode & code) != 0) {
                runCode &= code;
                pending = true;
                pendingPoint = p;
                continue;
            }
            if (pending)
                verts.push_back(pendingPoint);
            pending = false;
            runCode = code;
            haveLast = true;
            verts.push_back(p);
        }
    };
    if (in.finite && lx && ly) {
        // The common case: nothing to check per point, and both maps in registers.
        walk([](double, double) { return true; }, *lx, *ly);
    } else {
        const bool logX = in.logX, logY = in.logY;
        walk([logX, logY](double x, double y) { return usable(x, y, logX, logY); },
             [&in](double x) { return in.xMap->transform(x); },
             [&in](double y) { return in.yMap->transform(y); });
    }
    if (pending)
        verts.push_back(pendingPoint);
}

void markPoints(const CollectInput& in, Plane& marks) {
    for (int i = 0; i < in.n; ++i) {
        const double x = in.xs[i], y = in.ys[i];
        if (usable(x, y, in.logX, in.logY))
            marks.setIn(roundPixel(in.xMap->transform(x)), roundPixel(in.yMap->transform(y)));
    }
}

} // namespace tellurix::lumenfold::plotting::detail
