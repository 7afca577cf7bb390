#include "pixel_writer.h"

#include "wide_loops.h"

#include <QPaintEngine>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tellurix::lumenfold::plotting::detail {

std::optional<DirectTarget> directTarget(QPainter* painter) {
    QPaintEngine* engine = painter->paintEngine();
    if (engine == nullptr || engine->type() != QPaintEngine::Raster)
        return std::nullopt;
    QPaintDevice* device = engine->paintDevice();
    if (device == nullptr || device->devType() != QInternal::Image)
        return std::nullopt;
    auto* image = static_cast<QImage*>(device);
    if (image->format() != QImage::Format_RGB32 &&
        image->format() != QImage::Format_ARGB32_Premultiplied)
        return std::nullopt;
    if (!image->isDetached() || image->devicePixelRatio() != 1.0)
        return std::nullopt;
    if (painter->compositionMode() != QPainter::CompositionMode_SourceOver ||
        painter->opacity() != 1.0)
        return std::nullopt;
    const QTransform& t = painter->deviceTransform();
    if (t.type() > QTransform::TxTranslate || t.dx() != std::floor(t.dx()) ||
        t.dy() != std::floor(t.dy()))
        return std::nullopt;
    DirectTarget target;
    target.image = image;
    target.offset = QPoint(static_cast<int>(t.dx()), static_cast<int>(t.dy()));
    QRegion region(image->rect());
    const QRegion system = engine->systemClip();
    if (!system.isEmpty())
        region &= system;
    if (painter->hasClipping())
        region &= painter->clipRegion().translated(target.offset);
    if (region.rectCount() > 1)
        return std::nullopt;
    target.allowed = region.boundingRect() & image->rect();
    return target;
}

namespace {

// Writes `colour` at dst[j] for every set bit j of the row with from <= j <= to.
void paintRow(const std::uint64_t* words, int from, int to, quint32* dst, quint32 colour) {
    for (int k = from >> 6; k <= to >> 6; ++k) {
        std::uint64_t v = words[k];
        if (v == 0)
            continue;
        const int lo = k * 64;
        if (lo < from)
            v &= ~std::uint64_t{0} << (from - lo);
        if (lo + 63 > to)
            v &= ~std::uint64_t{0} >> (lo + 63 - to);
        // A run of set bits at a time: a union row is mostly runs, and fewer, wider stores
        // keep more image lines in flight than one store per pixel.
        while (v != 0) {
            const int a = __builtin_ctzll(v);
            const std::uint64_t rest = ~(v >> a);
            const int len = rest == 0 ? 64 - a : __builtin_ctzll(rest);
            quint32* d = dst + lo + a;
            if (len >= 4) {
                // Four pixels to a store, the last one overlapping the one before it.
                const quint32 four[4] = {colour, colour, colour, colour};
                for (int i = 0; i + 4 < len; i += 4)
                    std::memcpy(d + i, four, sizeof four);
                std::memcpy(d + len - 4, four, sizeof four);
            } else {
                d[0] = colour;
                d[len - 1] = colour;
                d[len / 2] = colour;
            }
            v = a + len >= 64 ? 0 : v & (~std::uint64_t{0} << (a + len));
        }
    }
}

} // namespace

void paintBits(const DirectTarget& target, const Plane& plane, quint32 colour) {
    QImage& image = *target.image;
    uchar* data = image.bits();
    const qsizetype bpl = image.bytesPerLine();
    const QRect& allowed = target.allowed;
    const int x0 = plane.rect.left() + target.offset.x(); // device x of bit 0
    // The bits kept: on allowed pixels, and within the plane's words.
    const int from = std::max(0, allowed.left() - x0);
    const int to = std::min(allowed.right() - x0, plane.stride * 64 - 1);
    if (allowed.isEmpty() || from > to)
        return;
    const bool wide = wideLoops();
    for (int y = 0; y < plane.rect.height(); ++y) {
        const int dy = plane.rect.top() + target.offset.y() + y;
        if (dy < allowed.top() || dy > allowed.bottom())
            continue;
        auto* dst = reinterpret_cast<quint32*>(data + dy * bpl) + x0;
        if (wide)
            avx2::paintRow(plane.row(y), from, to, dst, colour);
        else
            paintRow(plane.row(y), from, to, dst, colour);
    }
}

} // namespace tellurix::lumenfold::plotting::detail
