#include "segment_filters.h"

#include "vertex_runs.h"
#include "wide_loops.h"

#include <algorithm>
#include <cstdlib>

namespace tellurix::lumenfold::plotting::detail {

namespace {

// Whether the pixel is set in the plane, 0 outside it; without a branch on the data.
struct NearBits {
    const std::uint64_t* bits = nullptr;
    std::size_t stride = 0;
    int left = 0, top = 0;
    unsigned width = 0, height = 0;
    NearBits() = default;
    explicit NearBits(const Plane& p)
        : bits(p.row(0))
        , stride(static_cast<std::size_t>(p.stride))
        , left(p.rect.left())
        , top(p.rect.top())
        , width(static_cast<unsigned>(p.rect.width()))
        , height(static_cast<unsigned>(p.rect.height())) {}
    unsigned operator()(const QPoint& v) const {
        const auto cx = static_cast<unsigned>(v.x() - left);
        const auto cy = static_cast<unsigned>(v.y() - top);
        // NOLINTNEXTLINE(clang-diagnostic-bitwise-instead-of-logical)
        const unsigned inside =
            static_cast<unsigned>(cx < width) & static_cast<unsigned>(cy < height);
        const std::size_t at = inside != 0 ? cy * stride + (cx >> 6) : 0;
        return inside & static_cast<unsigned>((bits[at] >> (cx & 63)) & 1u);
    }
};

template <bool Near>
std::pair<std::size_t, std::size_t> keepFar(const QPoint* in, std::size_t count,
                                            std::vector<QPoint>& out, const QRect& area,
                                            int shortest, const NearCover& near) {
    // A vertex that opens a run writes three points, and the one before it wrote none (it
    // ended a covered segment, or was a break): at most three points per two entries.
    const size_t room = count + count / 2 + 4;
    if (out.size() < room)
        out.resize(room);
    QPoint* o = out.data();
    const int l = area.left(), t = area.top();
    const auto w = static_cast<unsigned>(area.width() - 1);
    const auto h = static_cast<unsigned>(area.height() - 1);
    size_t j = 0, kept = 0;
    bool have = false, open = false, lastIn = false;
    unsigned lastNear = 0;
    QPoint last;
    NearBits nearBits;
    if constexpr (Near)
        nearBits = NearBits(*near.plane);
    const int nearLength = 2 * near.reach;
    // Where the processor allows, whole groups of eight are taken at once: with the near test
    // nearly every segment is covered (see the curve item), and such groups are passed over;
    // without it, in a line that is drawn (a cloud's long steps), they are copied.
    const FarTest wide{l,
                       t,
                       w,
                       h,
                       shortest,
                       nearLength,
                       nearBits.bits,
                       nearBits.stride,
                       nearBits.left,
                       nearBits.top,
                       nearBits.width,
                       nearBits.height};
    const bool widen = wideLoops() && (!Near || (nearBits.width > 0 && nearBits.height > 0));
    const QPoint* const end = in + count;
    const QPoint* widenAt = in; // where groups may be taken at once again
    for (const QPoint* at = in; at != end; ++at) {
        if (widen && at >= widenAt && end - at >= 8 && (Near || open)) {
            FarState state{last.x(), last.y(), lastIn, lastNear != 0, have};
            const int most = static_cast<int>(std::min<std::ptrdiff_t>(end - at, 1 << 30));
            // QPoint is a pair of ints, x first.
            const auto* xy = reinterpret_cast<const int*>(at);
            const int taken = Near ? avx2::skipCovered(xy, most, wide, kBreak, state)
                                   : avx2::copyDrawn(xy, most, wide, kBreak, state,
                                                     reinterpret_cast<int*>(o + j));
            if (taken > 0) {
                at += taken;
                last = QPoint(state.lastX, state.lastY);
                lastIn = state.lastIn;
                lastNear = state.lastNear ? 1u : 0u;
                have = true;
                open = !Near;
                if constexpr (!Near) {
                    j += static_cast<std::size_t>(taken);
                    kept += static_cast<std::size_t>(taken);
                }
            }
            // The group that stopped it goes point by point.
            widenAt = end - at > 8 ? at + 8 : end;
            if (at == end)
                break;
        }
        const QPoint v = *at;
        if (v.x() == kBreak) {
            have = open = false;
            continue;
        }
        const bool vIn =
            static_cast<unsigned>(v.x() - l) <= w && static_cast<unsigned>(v.y() - t) <= h;
        const int reach = std::max(std::abs(v.x() - last.x()), std::abs(v.y() - last.y()));
        // Plain integer arithmetic: the compiler would turn conditional forms into branches.
        unsigned covered = static_cast<unsigned>(lastIn) & static_cast<unsigned>(vIn) &
                           static_cast<unsigned>(reach <= shortest);
        if constexpr (Near) {
            const unsigned vNear = nearBits(v);
            covered |= lastNear & vNear & static_cast<unsigned>(reach <= nearLength);
            lastNear = vNear;
        }
        const unsigned drawn = static_cast<unsigned>(have) & (covered ^ 1u);
        if constexpr (Near) {
            // Taken only for a line of short steps among many symbols (see the curve item),
            // where nearly every segment is covered: a branch that is nearly always right
            // costs less than three stores for every vertex.
            if (drawn != 0) {
                if (!open) {
                    o[j] = breakMark();
                    o[j + 1] = last;
                    j += 2;
                }
                o[j++] = v;
                ++kept;
            }
        } else {
            const unsigned start = drawn & (static_cast<unsigned>(open) ^ 1u);
            o[j] = breakMark();
            o[j + 1] = last;
            j += static_cast<size_t>(start) << 1;
            o[j] = v;
            j += static_cast<size_t>(drawn);
            kept += static_cast<size_t>(drawn);
        }
        open = drawn != 0;
        last = v;
        lastIn = vIn;
        have = true;
    }
    return {j, kept};
}

} // namespace

std::pair<std::size_t, std::size_t> keepFarSegments(const QPoint* in, std::size_t count,
                                                    std::vector<QPoint>& out, const QRect& area,
                                                    int shortest, const NearCover& near) {
    if (near.plane != nullptr)
        return keepFar<true>(in, count, out, area, shortest, near);
    return keepFar<false>(in, count, out, area, shortest, near);
}

namespace {

// Whether the pixel nearest to each point of the segment from a to b, one per step along its
// longer axis, is set in `deep`; both ends are known to be set (and so to lie in the plane),
// and every pixel between lies in their box, so no pixel needs a bounds check. Whole-number
// arithmetic: the nearest pixel of step i is a + round(i * d / steps), halves going up.
bool interiorSet(const Plane& deep, const QPoint& a, const QPoint& b) {
    const int dx = b.x() - a.x(), dy = b.y() - a.y();
    const int ax = std::abs(dx), ay = std::abs(dy);
    const int steps = std::max(ax, ay);
    if (steps < 2)
        return true;
    const std::uint64_t* bits = deep.row(0);
    const std::ptrdiff_t stride = deep.stride;
    const int x0 = a.x() - deep.rect.left(), y0 = a.y() - deep.rect.top();
    const bool xMajor = ax >= ay;
    const int majorStep = xMajor ? (dx > 0 ? 1 : -1) : (dy > 0 ? 1 : -1);
    const int minorDelta = xMajor ? dy : dx;
    // minor offset of step i: floor((2 * i * minorDelta + steps) / (2 * steps)), kept as a
    // quotient and a remainder in [0, 2 * steps).
    const int twice = 2 * steps;
    int q = 0, r = steps;
    int major = 0;
    for (int i = 1; i < steps; ++i) {
        major += majorStep;
        r += 2 * minorDelta;
        if (r >= twice) {
            r -= twice;
            ++q;
        } else if (r < 0) {
            r += twice;
            --q;
        }
        const int x = x0 + (xMajor ? major : q), y = y0 + (xMajor ? q : major);
        if (((bits[y * stride + (x >> 6)] >> (x & 63)) & 1u) == 0)
            return false;
    }
    return true;
}

} // namespace

std::size_t keepSegmentsOutside(const QPoint* in, std::size_t count, std::vector<QPoint>& out,
                                const Plane& deep) {
    // Runs of drawn segments only: a covered segment ends the run, and a lone vertex between
    // two covered segments is left out.
    size_t kept = 0;
    bool haveLast = false, open = false, lastDeep = false;
    QPoint last;
    for (const QPoint* at = in; at != in + count; ++at) {
        const QPoint& v = *at;
        if (v.x() == kBreak) {
            haveLast = open = false;
            continue;
        }
        const bool vDeep = deep.test(v.x(), v.y());
        if (haveLast) {
            if (lastDeep && vDeep && interiorSet(deep, last, v)) {
                open = false;
            } else {
                if (!open) {
                    out.push_back(breakMark());
                    out.push_back(last);
                    open = true;
                }
                out.push_back(v);
                ++kept;
            }
        }
        last = v;
        lastDeep = vDeep;
        haveLast = true;
    }
    return kept;
}

} // namespace tellurix::lumenfold::plotting::detail
