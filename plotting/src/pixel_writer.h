// The direct pixel writer: when the painter draws into a plain 32-bit image, finished
// pixels are written into it without going through QPainter.
#pragma once

#include "bit_plane.h"

#include <QImage>
#include <QPoint>
#include <QRect>

#include <optional>

class QPainter;

namespace tellurix::lumenfold::plotting::detail {

/// The image behind a painter, when pixels can be read and written in it directly.
struct DirectTarget {
    QImage* image = nullptr;
    QPoint offset; // logical -> device
    QRect allowed; // device pixels that may be touched
};

/// The painter's image, if it is a raster engine on a 32-bit image, with translation only,
/// plain source-over at full opacity and a clip of one rectangle; nothing otherwise.
std::optional<DirectTarget> directTarget(QPainter* painter);

/// Writes `colour` at every set bit of `plane` that lands on an allowed pixel.
void paintBits(const DirectTarget& target, const Plane& plane, quint32 colour);

/// Source-over of a premultiplied pixel, with the raster engine's own integer arithmetic so
/// that a blended pixel matches one the engine would have drawn.
inline quint32 byteMul(quint32 x, quint32 a) {
    quint32 t = (x & 0xff00ffu) * a;
    t = (t + ((t >> 8) & 0xff00ffu) + 0x800080u) >> 8;
    t &= 0xff00ffu;
    x = ((x >> 8) & 0xff00ffu) * a;
    x = (x + ((x >> 8) & 0xff00ffu) + 0x800080u);
    x &= 0xff00ff00u;
    return x | t;
}

inline quint32 sourceOver(quint32 dst, quint32 src) {
    const quint32 alpha = src >> 24;
    if (alpha == 255)
        return src;
    return src + byteMul(dst, 255 - alpha);
}

} // namespace tellurix::lumenfold::plotting::detail
