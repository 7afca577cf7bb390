// From data to whole pixels: which points count, Qwt's linear mapping in registers, and the
// rounding every stage shares so that a vertex, a mark and a column agree on their pixel.
#pragma once

#include <qwt_scale_map.h>

#include <QRectF>

#include <cstdint>
#include <optional>

namespace tellurix::lumenfold::plotting::detail {

/// A point counts when both coordinates are finite and, on a log axis, positive.
inline bool usable(double x, double y, bool logX, bool logY) {
    // Written so that NaN fails every comparison.
    const bool xo = logX ? (x > 0.0 && x <= 1.79769313486231570e308)
                         : (x >= -1.79769313486231570e308 && x <= 1.79769313486231570e308);
    const bool yo = logY ? (y > 0.0 && y <= 1.79769313486231570e308)
                         : (y >= -1.79769313486231570e308 && y <= 1.79769313486231570e308);
    return xo && yo;
}

/// x - x is 0 for finite values and NaN otherwise.
inline bool finiteValue(double v) {
    return v - v == 0.0;
}

/// Coordinates beyond this many pixels are pulled in before painting: the raster engine
/// works in fixed point, and the change to what is visible is far below a pixel.
constexpr double kFar = 1.0e9;

/// Same rounding as Qwt's point mapper (qRound: halves go up), without its int overflow for
/// far points, and without a libm call per point. NaN lands on -kFar.
inline std::int64_t roundPixel(double v) {
    v += 0.5;
    v = v > -kFar ? v : -kFar;
    v = v < kFar ? v : kFar;
    const auto i = static_cast<std::int64_t>(v); // truncates towards zero
    return i - (static_cast<double>(i) > v ? 1 : 0);
}

/// Qwt's own linear mapping, p1 + (s - s1) * cnv, spelled out so that a loop keeps it in
/// registers; offered only for a linear axis and only if it gives the very same values as
/// the map.
struct LinearMap {
    double p1 = 0.0, s1 = 0.0, cnv = 1.0;
    double operator()(double s) const { return p1 + (s - s1) * cnv; }

    static std::optional<LinearMap> of(const QwtScaleMap& map, bool log) {
        if (log || map.transformation() != nullptr)
            return std::nullopt;
        LinearMap m;
        m.p1 = map.p1();
        m.s1 = map.s1();
        m.cnv = map.s1() != map.s2() ? (map.p2() - map.p1()) / (map.s2() - map.s1()) : 1.0;
        for (double probe : {map.s1(), map.s2(), 0.5 * (map.s1() + map.s2()), 0.0, 1.0})
            if (m(probe) != map.transform(probe))
                return std::nullopt;
        return m;
    }
};

/// What a collecting stage reads: the curve's points, what the summary knows of them, and
/// how they map onto the canvas.
struct CollectInput {
    const double* xs = nullptr;
    const double* ys = nullptr;
    int n = 0;
    bool finite = false;           // every coordinate is finite
    bool yBounded = false;         // Y's bounds are known:
    double ymin = 0.0, ymax = 0.0; // these
    const QwtScaleMap* xMap = nullptr;
    const QwtScaleMap* yMap = nullptr;
    QRectF canvas;
    double penWidth = 1.0;
    bool logX = false, logY = false;
};

} // namespace tellurix::lumenfold::plotting::detail
