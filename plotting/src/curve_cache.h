// Everything a curve item remembers between drawings, in one place: what the data summary
// found, and the drawn form of the last drawing, valid while nothing it depends on changes.
#pragma once

#include "bit_plane.h"
#include "data_summary.h"
#include "symbol_stamp.h"

#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// Everything the drawn form depends on besides the data (which clears it itself).
struct DrawKey {
    std::array<double, 8> maps{};
    QRectF canvas;
    QRect area, allowed;
    QSize image;
    quint64 stamp = 0;
    bool logX = false, logY = false, direct = false, target = false;
    bool operator==(const DrawKey& o) const {
        return maps == o.maps && canvas == o.canvas && area == o.area && allowed == o.allowed &&
               image == o.image && stamp == o.stamp && logX == o.logX && logY == o.logY &&
               direct == o.direct && target == o.target;
    }
};

struct CurveCache {
    // Of the data, filled as asked for.
    enum class Order : std::uint8_t { Unknown, Monotonic, Unordered };
    bool finite = false; // every coordinate is finite
    // Bounds of the usable points, per axis modes (log X + 2 * log Y).
    std::array<std::optional<std::optional<Bounds>>, 4> bounds;
    // Whether X never goes back over all points (no NaN among them).
    Order monotone = Order::Unknown;
    // Whether X is sorted over the usable points, per X axis mode.
    std::array<Order, 2> sorted{Order::Unknown, Order::Unknown};

    // The drawn form: what the last drawing found, reused while the key stays the same, so
    // that a repaint where other curves changed does not walk this curve's points again.
    bool drawnValid = false;
    DrawKey key;
    std::vector<QPoint> drawn;            // line vertices left to draw, covered pieces broken off
    std::vector<std::uint64_t> planeBits; // storage of plane
    Plane plane;                          // symbol marks, or their painted union
    SymbolStamp stamp;
    // The line's pixels as last drawn, once the same drawing was asked for twice.
    enum class Layer : std::uint8_t { None, Ready, Refused };
    bool repeated = false;
    Layer layer = Layer::None;
    std::vector<std::uint64_t> layerBits;
    Plane layerPlane;
    quint32 layerColour = 0;

    /// Forgets everything that depends on the data.
    void dataChanged() {
        finite = false;
        bounds = {};
        monotone = Order::Unknown;
        sorted = {Order::Unknown, Order::Unknown};
        drawnValid = false;
    }
};

} // namespace tellurix::lumenfold::plotting::detail
