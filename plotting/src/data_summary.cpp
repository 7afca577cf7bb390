#include "data_summary.h"

#include "pixel_map.h"

#include <algorithm>

namespace tellurix::lumenfold::plotting::detail {

Summary summarise(const double* xs, const double* ys, int n) {
    Summary s;
    s.xmin = s.xmax = xs[0];
    s.ymin = s.ymax = ys[0];
    s.finite = finiteValue(xs[0]) && finiteValue(ys[0]);
    int i = 1;
    if (n >= 5 && wideLoops())
        i = avx2::summarise(xs, ys, n, s);
    // NaN cannot slip into the bounds unnoticed: it also clears `finite`, and then the bounds
    // are not used. Without branches on the data, so that the compiler may vectorise.
    bool up = s.up, down = s.down, finite = s.finite;
    for (; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        up &= x >= xs[i - 1];
        down &= x <= xs[i - 1];
        // Both tests, without a branch on the data.
        finite &= static_cast<unsigned>(finiteValue(x)) & static_cast<unsigned>(finiteValue(y));
        s.xmin = x < s.xmin ? x : s.xmin;
        s.xmax = x > s.xmax ? x : s.xmax;
        s.ymin = y < s.ymin ? y : s.ymin;
        s.ymax = y > s.ymax ? y : s.ymax;
    }
    s.up = up;
    s.down = down;
    s.finite = finite;
    return s;
}

std::optional<Bounds> usableBounds(const double* xs, const double* ys, int n, bool logX,
                                   bool logY) {
    std::optional<Bounds> b;
    for (int i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        if (!usable(x, y, logX, logY))
            continue;
        if (!b) {
            b = Bounds{x, x, y, y};
            continue;
        }
        b->xmin = std::min(b->xmin, x);
        b->xmax = std::max(b->xmax, x);
        b->ymin = std::min(b->ymin, y);
        b->ymax = std::max(b->ymax, y);
    }
    return b;
}

bool monotonic(const double* xs, int n) {
    if (n == 1)
        return xs[0] == xs[0];
    bool up = true, down = true;
    for (int i = 1; i < n; ++i) {
        up &= xs[i] >= xs[i - 1]; // NaN fails both
        down &= xs[i] <= xs[i - 1];
    }
    return up || down;
}

} // namespace tellurix::lumenfold::plotting::detail
