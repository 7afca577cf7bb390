#include "line_painter.h"

#include "vertex_runs.h"

#include <qwt_clipper.h>

#include <QImage>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>

namespace tellurix::lumenfold::plotting::detail {

namespace {

// Beyond this distance from the canvas a polyline is clipped before painting.
constexpr double kClipMargin = 1.0e4;
// Points per polyline handed to QPainter at once for thin pens.
constexpr int kChunk = 4096;

void flushPolyline(QPainter* painter, QPolygonF& line, const QRectF& clipRect) {
    if (line.size() < 2) {
        line.clear();
        return;
    }
    const double left = clipRect.left() - kClipMargin, right = clipRect.right() + kClipMargin;
    const double top = clipRect.top() - kClipMargin, bottom = clipRect.bottom() + kClipMargin;
    const bool far = std::any_of(line.cbegin(), line.cend(), [&](const QPointF& p) {
        return !(p.x() >= left && p.x() <= right && p.y() >= top && p.y() <= bottom);
    });
    if (far)
        line = QwtClipper::clipPolygonF(clipRect, line);
    painter->drawPolyline(line.constData(), line.size());
    line.clear();
}

} // namespace

void drawPolylines(QPainter* painter, const QPen& pen, const std::vector<QPoint>& vertices,
                   const QRectF& canvasRect) {
    const double pw = std::max(1.0, pen.widthF());
    const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
    // The raster engine strokes wide pens far faster in short pieces than in one long path.
    const int chunk = pen.widthF() > 1.0 ? 64 : kChunk;
    thread_local QPolygonF line;
    line.clear();
    for (const QPoint& v : vertices) {
        if (v.x() == kBreak) {
            flushPolyline(painter, line, clipRect);
            continue;
        }
        const QPointF p(v);
        line.append(p);
        if (line.size() >= chunk) {
            flushPolyline(painter, line, clipRect);
            line.append(p);
        }
    }
    flushPolyline(painter, line, clipRect);
}

ThinLine thinLineFor(const DirectTarget& target, const QPen& pen) {
    QImage& image = *target.image;
    return ThinLine(reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4,
                    image.rect(), target.allowed, target.offset, pen.color().rgba(),
                    pen.capStyle() != Qt::FlatCap);
}

void drawThinRuns(QPainter* painter, const QPen& pen, const DirectTarget& target,
                  const std::vector<QPoint>& vertices) {
    ThinLine thin = thinLineFor(target, pen);
    forEachRun(vertices.data(), vertices.size(), [&](const QPoint* run, int count) {
        if (thin.polyline(run, count))
            return;
        // A run that ends where it starts is drawn as a closed figure by the engine.
        QPolygonF points;
        points.reserve(count);
        for (const QPoint* p = run; p != run + count; ++p)
            points.append(QPointF(*p));
        painter->save();
        painter->setPen(pen);
        painter->drawPolyline(points);
        painter->restore();
    });
}

bool lineLayer(QPainter* painter, const QPen& pen, const DirectTarget& target,
               const QRectF& canvasRect, const std::vector<QPoint>& vertices, Plane& plane,
               std::vector<std::uint64_t>& storage, quint32& colour) {
    // Only a line whose every pixel is one opaque colour can be replayed as a set of pixels:
    // then the order of painting within it does not matter, and nothing is blended.
    const QBrush& brush = pen.brush();
    if (brush.style() != Qt::SolidPattern || brush.color().alpha() != 255 ||
        painter->testRenderHint(QPainter::Antialiasing))
        return false;
    // Drawn exactly as it would be on the target: same device size, transform, clip and hints.
    thread_local QImage layer;
    if (layer.size() != target.image->size())
        layer = QImage(target.image->size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(0);
    {
        QPainter p(&layer);
        p.setRenderHints(painter->renderHints());
        p.setTransform(painter->deviceTransform());
        p.setClipRect(target.allowed.translated(-target.offset));
        p.setPen(pen);
        drawPolylines(&p, pen, vertices, canvasRect);
    }
    const QRect logical = target.allowed.translated(-target.offset);
    plane.reset(logical, (logical.width() + 63) / 64, storage);
    quint32 found = 0;
    for (int y = 0; y < logical.height(); ++y) {
        const auto* row =
            reinterpret_cast<const quint32*>(layer.constScanLine(target.allowed.top() + y)) +
            target.allowed.left();
        std::uint64_t* bits = plane.row(y);
        for (int x = 0; x < logical.width(); ++x) {
            const quint32 v = row[x];
            if (v == 0)
                continue;
            if (found == 0 && (v >> 24) == 255)
                found = v;
            if (v != found)
                return false;
            bits[x >> 6] |= std::uint64_t{1} << (x & 63);
        }
    }
    colour = found;
    return true;
}

} // namespace tellurix::lumenfold::plotting::detail
