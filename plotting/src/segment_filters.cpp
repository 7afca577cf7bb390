#include "segment_filters.h"

#include "vertex_runs.h"

#include <algorithm>
#include <cstdlib>

namespace tellurix::lumenfold::plotting::detail {

std::pair<std::size_t, std::size_t> keepFarSegments(const QPoint* in, std::size_t count,
                                                    std::vector<QPoint>& out, const QRect& area,
                                                    int shortest) {
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
    QPoint last;
    for (const QPoint* at = in; at != in + count; ++at) {
        const QPoint v = *at;
        if (v.x() == kBreak) {
            have = open = false;
            continue;
        }
        const bool vIn =
            static_cast<unsigned>(v.x() - l) <= w && static_cast<unsigned>(v.y() - t) <= h;
        const int reach = std::max(std::abs(v.x() - last.x()), std::abs(v.y() - last.y()));
        // Plain integer arithmetic: the compiler would turn conditional forms into branches.
        const unsigned covered = static_cast<unsigned>(lastIn) & static_cast<unsigned>(vIn) &
                                 static_cast<unsigned>(reach <= shortest);
        const unsigned drawn = static_cast<unsigned>(have) & (covered ^ 1u);
        const unsigned start = drawn & (static_cast<unsigned>(open) ^ 1u);
        o[j] = breakMark();
        o[j + 1] = last;
        j += static_cast<size_t>(start) << 1;
        o[j] = v;
        j += static_cast<size_t>(drawn);
        kept += static_cast<size_t>(drawn);
        open = drawn != 0;
        last = v;
        lastIn = vIn;
        have = true;
    }
    return {j, kept};
}

std::size_t keepSegmentsOutside(const QPoint* in, std::size_t count, std::vector<QPoint>& out,
                                const Plane& deep) {
    // Runs of drawn segments only: a covered segment ends the run, and a lone vertex between
    // two covered segments is left out.
    size_t kept = 0;
    bool haveLast = false, open = false, lastDeep = false;
    QPoint last;
    auto isDeep = [&deep](int x, int y) { return deep.test(x, y); };
    for (const QPoint* at = in; at != in + count; ++at) {
        const QPoint& v = *at;
        if (v.x() == kBreak) {
            haveLast = open = false;
            continue;
        }
        const bool vDeep = deep.test(v.x(), v.y());
        if (haveLast) {
            if (lastDeep && vDeep && allNearest(last, v, isDeep)) {
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
