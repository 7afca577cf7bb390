#include "pixel_writer.h"

#include <QPaintEngine>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cmath>

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

void paintBits(const DirectTarget& target, const Plane& plane, quint32 colour) {
    QImage& image = *target.image;
    uchar* data = image.bits();
    const qsizetype bpl = image.bytesPerLine();
    const QRect& allowed = target.allowed;
    const int x0 = plane.rect.left() + target.offset.x();            // device x of bit 0
    const int from = allowed.left() - x0, to = allowed.right() - x0; // bit range kept
    const int words = plane.stride;
    if (allowed.isEmpty() || to < 0 || from >= words * 64)
        return;
    for (int y = 0; y < plane.rect.height(); ++y) {
        const int dy = plane.rect.top() + target.offset.y() + y;
        if (dy < allowed.top() || dy > allowed.bottom())
            continue;
        const std::uint64_t* row = plane.row(y);
        auto* dst = reinterpret_cast<quint32*>(data + dy * bpl);
        for (int k = std::max(0, from >> 6); k < words && k * 64 <= to; ++k) {
            std::uint64_t v = row[k];
            if (v == 0)
                continue;
            const int lo = k * 64;
            if (lo < from)
                v &= ~std::uint64_t{0} << (from - lo);
            if (lo + 63 > to)
                v &= ~std::uint64_t{0} >> (lo + 63 - to);
            // A run of set bits at a time: a union row is mostly runs, and fewer, wider
            // stores keep more image lines in flight than one store per pixel.
            while (v != 0) {
                const int a = __builtin_ctzll(v);
                const std::uint64_t rest = ~(v >> a);
                const int len = rest == 0 ? 64 - a : __builtin_ctzll(rest);
                std::fill_n(dst + x0 + lo + a, len, colour);
                v = a + len >= 64 ? 0 : v & (~std::uint64_t{0} << (a + len));
            }
        }
    }
}

} // namespace tellurix::lumenfold::plotting::detail
