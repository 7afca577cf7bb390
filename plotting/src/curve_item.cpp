#include "curve_item.h"

#include <qwt_clipper.h>
#include <qwt_scale_map.h>

#include <QPaintEngine>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tellurix::lumenfold::plotting::detail {

namespace {

// Coordinates beyond this many pixels are pulled in before painting: the raster engine works
// in fixed point, and the change to what is visible is far below a pixel.
constexpr double kFar = 1.0e9;
// Beyond this distance from the canvas a polyline is clipped before painting.
constexpr double kClipMargin = 1.0e4;
// Points per polyline handed to QPainter at once for thin pens.
constexpr int kChunk = 4096;

// Same rounding as Qwt's point mapper (qRound), without its int overflow for far points.
inline double roundPixel(double v) {
    return std::clamp(std::floor(v + 0.5), -kFar, kFar);
}

// Source-over of a premultiplied pixel, with the raster engine's own integer arithmetic so
// that a stamped symbol matches one the engine would have drawn.
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

// The image behind the painter, when symbols can be written straight into it: a raster
// engine on a 32-bit image, translation only, plain source-over at full opacity.
struct DirectTarget {
    QImage* image = nullptr;
    QPoint offset; // logical -> device
    QRect allowed; // device pixels that may be written
};

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
    const QTransform t = painter->deviceTransform();
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
    target.allowed = region.boundingRect();
    return target;
}

} // namespace

CurveItem::CurveItem(const plotting::CurveStyle& style)
    : style_(style) {
    setPen(style.pen);
    setStyle(style.pen.style() == Qt::NoPen ? QwtPlotCurve::NoCurve : QwtPlotCurve::Lines);
    const int size = static_cast<int>(std::lround(style.symbolSize));
    if (size > 0)
        setSymbol(new QwtSymbol(QwtSymbol::Ellipse, style.symbolBrush, style.symbolPen,
                                QSize(size, size)));
    setItemAttribute(QwtPlotItem::AutoScale, false);
    setItemAttribute(QwtPlotItem::Legend, false);
    setRawSamples(x_.constData(), y_.constData(), 0);
}

CurveItem::~CurveItem() = default;

void CurveItem::setValues(QVector<double> x, QVector<double> y) {
    x_ = std::move(x);
    y_ = std::move(y);
    // The raw samples point into our own vectors, which nobody else can write to: a caller
    // writing to its copy detaches its copy.
    setRawSamples(x_.constData(), y_.constData(), x_.size());
    bounds_ = {};
    order_ = {Order::Unknown, Order::Unknown};
}

std::optional<Bounds> CurveItem::bounds(bool logX, bool logY) const {
    auto& slot = bounds_[(logX ? 1 : 0) + (logY ? 2 : 0)];
    if (!slot) {
        std::optional<Bounds> b;
        const double* xs = x_.constData();
        const double* ys = y_.constData();
        const int n = x_.size();
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
        slot = b;
    }
    return *slot;
}

std::optional<double> CurveItem::newestX(bool logX, bool logY) const {
    for (int i = x_.size() - 1; i >= 0; --i)
        if (usable(x_[i], y_[i], logX, logY))
            return x_[i];
    return std::nullopt;
}

QRectF CurveItem::boundingRect() const {
    const auto b = bounds(false, false);
    if (!b)
        return QRectF(1.0, 1.0, -2.0, -2.0); // Qwt's "invalid" rectangle
    return QRectF(QPointF(b->xmin, b->ymin), QPointF(b->xmax, b->ymax));
}

void CurveItem::drawSeries(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                           const QRectF& canvasRect, int from, int to) const {
    // Qwt asks for the whole series (to = -1); this item always draws all of it.
    (void)from;
    (void)to;
    if (x_.isEmpty())
        return;
    const bool logX = xMap.transformation() != nullptr;
    const bool logY = yMap.transformation() != nullptr;
    if (fast_)
        drawFast(painter, xMap, yMap, canvasRect, logX, logY);
    else
        drawReference(painter, xMap, yMap, canvasRect, logX, logY);
}

void CurveItem::drawReference(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                              const QRectF& canvasRect, bool logX, bool logY) const {
    // Qwt draws whatever it is given; unusable points must not reach it, so each run of
    // usable points is handed over on its own.
    const int n = x_.size();
    int i = 0;
    while (i < n) {
        while (i < n && !usable(x_[i], y_[i], logX, logY))
            ++i;
        int j = i;
        while (j < n && usable(x_[j], y_[j], logX, logY))
            ++j;
        if (j > i)
            QwtPlotCurve::drawSeries(painter, xMap, yMap, canvasRect, i, j - 1);
        i = j;
    }
}

void CurveItem::drawFast(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                         const QRectF& canvasRect, bool logX, bool logY) const {
    if (style_.pen.style() != Qt::NoPen) {
        painter->save();
        painter->setPen(style_.pen);
        const int key = logX ? 1 : 0;
        bool drawn = false;
        if (order_[key] != Order::Unordered) {
            drawn = drawLinesSorted(painter, xMap, yMap, canvasRect, logX, logY);
            order_[key] = drawn ? Order::Monotonic : Order::Unordered;
        }
        if (!drawn)
            drawLinesUnsorted(painter, xMap, yMap, canvasRect, logX, logY);
        painter->restore();
    }
    if (symbol() != nullptr && symbol()->style() != QwtSymbol::NoSymbol) {
        // As Qwt does: only symbols whose centre pixel lies in the visible canvas are drawn.
        QRectF clipRect = canvasRect;
        if (painter->hasClipping())
            clipRect &= painter->clipBoundingRect();
        const QRect area = clipRect.toAlignedRect();
        if (area.isEmpty())
            return;
        painter->save();
        markSymbols(xMap, yMap, area, logX, logY);
        stampSymbols(painter, area);
        painter->restore();
    }
}

void CurveItem::flushPolyline(QPainter* painter, const QRectF& clipRect) const {
    if (line_.size() < 2) {
        line_.clear();
        return;
    }
    const QRectF reach = clipRect.adjusted(-kClipMargin, -kClipMargin, kClipMargin, kClipMargin);
    bool far = false;
    for (const QPointF& p : qAsConst(line_))
        if (!reach.contains(p)) {
            far = true;
            break;
        }
    if (far)
        line_ = QwtClipper::clipPolygonF(clipRect, line_);
    painter->drawPolyline(line_.constData(), line_.size());
    line_.clear();
}

bool CurveItem::drawLinesSorted(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                                const QRectF& canvasRect, bool logX, bool logY) const {
    // Per pixel column, the first, lowest, highest and last point (in record order) draw the
    // same pixels as every point of that column would. Columns far off either side of the
    // canvas fold into one, since nothing between their points is visible.
    const double pw = std::max(1.0, style_.pen.widthF());
    const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
    const double leftCol = std::floor(canvasRect.left() - pw - 2.0);
    const double rightCol = std::ceil(canvasRect.right() + pw + 2.0);

    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();
    line_.clear();

    int direction = 0;
    double prevX = 0.0;
    bool havePrev = false;

    bool open = false;
    double col = 0.0;
    QPointF first, low, high, last;
    int lowAt = 0, highAt = 0;

    auto push = [&](const QPointF& p) {
        if (line_.isEmpty() || line_.constLast() != p)
            line_.append(p);
    };
    auto closeColumn = [&]() {
        if (!open)
            return;
        push(first);
        if (lowAt <= highAt) {
            push(low);
            push(high);
        } else {
            push(high);
            push(low);
        }
        push(last);
        open = false;
    };

    for (int i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        if (!usable(x, y, logX, logY)) {
            closeColumn();
            flushPolyline(painter, clipRect);
            continue;
        }
        if (havePrev) {
            if (x > prevX) {
                if (direction < 0)
                    return false;
                direction = 1;
            } else if (x < prevX) {
                if (direction > 0)
                    return false;
                direction = -1;
            }
        }
        prevX = x;
        havePrev = true;

        const QPointF p(roundPixel(xMap.transform(x)), roundPixel(yMap.transform(y)));
        const double c = std::clamp(p.x(), leftCol, rightCol);
        if (!open || c != col) {
            closeColumn();
            // Keep the pending polyline bounded; the last point carries the line on.
            if (line_.size() >= kChunk) {
                const QPointF carry = line_.constLast();
                flushPolyline(painter, clipRect);
                line_.append(carry);
            }
            open = true;
            col = c;
            first = low = high = last = p;
            lowAt = highAt = i;
            continue;
        }
        if (p.y() < low.y()) {
            low = p;
            lowAt = i;
        }
        if (p.y() > high.y()) {
            high = p;
            highAt = i;
        }
        last = p;
    }
    closeColumn();
    flushPolyline(painter, clipRect);
    return true;
}

void CurveItem::drawLinesUnsorted(QPainter* painter, const QwtScaleMap& xMap,
                                  const QwtScaleMap& yMap, const QRectF& canvasRect, bool logX,
                                  bool logY) const {
    // Consecutive points on the same pixel are dropped. A run of points all beyond the same
    // edge of the canvas (with room for the pen) keeps only its first and last point: no
    // segment between them can reach the canvas.
    const double pw = std::max(1.0, style_.pen.widthF());
    const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
    const double m = pw + 2.0;
    const double left = canvasRect.left() - m, right = canvasRect.right() + m;
    const double top = canvasRect.top() - m, bottom = canvasRect.bottom() + m;
    auto outcode = [&](const QPointF& p) {
        return (p.x() < left ? 1u : 0u) | (p.x() > right ? 2u : 0u) | (p.y() < top ? 4u : 0u) |
               (p.y() > bottom ? 8u : 0u);
    };

    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();
    line_.clear();

    unsigned runCode = 0; // edges shared by the current run of outside points
    bool pending = false; // the run's latest point, not yet emitted
    QPointF pendingPoint;
    QPointF lastPoint; // the latest point taken (emitted or pending)
    bool haveLast = false;

    for (int i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        if (!usable(x, y, logX, logY)) {
            if (pending)
                line_.append(pendingPoint);
            pending = false;
            runCode = 0;
            haveLast = false;
            flushPolyline(painter, clipRect);
            continue;
        }
        const QPointF p(roundPixel(xMap.transform(x)), roundPixel(yMap.transform(y)));
        if (haveLast && p == lastPoint)
            continue;
        const unsigned code = outcode(p);
        if (haveLast && (runCode & code) != 0) {
            runCode &= code;
            pending = true;
            pendingPoint = p;
            lastPoint = p;
            continue;
        }
        if (pending)
            line_.append(pendingPoint);
        pending = false;
        runCode = code;
        line_.append(p);
        lastPoint = p;
        haveLast = true;
        if (line_.size() >= kChunk) {
            flushPolyline(painter, clipRect);
            line_.append(p);
        }
    }
    if (pending)
        line_.append(pendingPoint);
    flushPolyline(painter, clipRect);
}

void CurveItem::markSymbols(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRect& area,
                            bool logX, bool logY) const {
    marksStride_ = (area.width() + 63) / 64;
    marks_.assign(static_cast<size_t>(marksStride_) * static_cast<size_t>(area.height()), 0);
    const double x0 = area.left(), y0 = area.top();
    const double w = area.width(), h = area.height();
    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();
    for (int i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        if (!usable(x, y, logX, logY))
            continue;
        const double px = roundPixel(xMap.transform(x)) - x0;
        const double py = roundPixel(yMap.transform(y)) - y0;
        if (!(px >= 0.0 && px < w && py >= 0.0 && py < h))
            continue;
        const auto ix = static_cast<unsigned>(px);
        const auto iy = static_cast<unsigned>(py);
        marks_[iy * static_cast<unsigned>(marksStride_) + (ix >> 6)] |= std::uint64_t{1}
                                                                        << (ix & 63u);
    }
}

void CurveItem::stampSymbols(QPainter* painter, const QRect& area) const {
    const QwtSymbol& sym = *symbol();
    const QRect br = sym.boundingRect();
    if (br.isEmpty())
        return;
    const auto key = static_cast<quint64>(painter->renderHints());
    if (stamp_.isNull() || stampKey_ != key) {
        // Rendered exactly like Qwt's own symbol cache, so that a stamp is the same pixels.
        stamp_ = QImage(br.size(), QImage::Format_ARGB32_Premultiplied);
        stamp_.fill(Qt::transparent);
        QPainter p(&stamp_);
        p.setRenderHints(painter->renderHints());
        p.translate(-br.topLeft());
        sym.drawSymbol(&p, QPointF(0.0, 0.0));
        p.end();
        stampOffset_ = br.topLeft();
        stampKey_ = key;
    }

    auto forEachMark = [&](auto&& visit) {
        for (int row = 0; row < area.height(); ++row) {
            const std::uint64_t* words = marks_.data() + static_cast<size_t>(row) * marksStride_;
            for (int wi = 0; wi < marksStride_; ++wi) {
                std::uint64_t bits = words[wi];
                while (bits != 0) {
                    const int bit = __builtin_ctzll(bits);
                    bits &= bits - 1;
                    visit(area.left() + wi * 64 + bit, area.top() + row);
                }
            }
        }
    };

    const auto target = directTarget(painter);
    if (!target) {
        // Any other device (printer, vector export, a scaled painter): let Qwt draw the symbol
        // at each distinct pixel.
        QPolygonF points;
        points.reserve(512);
        forEachMark([&](int x, int y) {
            points.append(QPointF(x, y));
            if (points.size() == 512) {
                sym.drawSymbols(painter, points);
                points.clear();
            }
        });
        if (!points.isEmpty())
            sym.drawSymbols(painter, points);
        return;
    }

    QImage& image = *target->image;
    const QRect allowed = target->allowed;
    const int sw = stamp_.width(), sh = stamp_.height();
    // Per stamp row, the span of non-transparent pixels, so that blank corners cost nothing.
    std::vector<std::pair<int, int>> spans(static_cast<size_t>(sh));
    for (int r = 0; r < sh; ++r) {
        const auto* row = reinterpret_cast<const quint32*>(stamp_.constScanLine(r));
        int a = 0, b = sw;
        while (a < b && row[a] == 0)
            ++a;
        while (b > a && row[b - 1] == 0)
            --b;
        spans[static_cast<size_t>(r)] = {a, b};
    }
    uchar* bits = image.bits();
    const qsizetype bpl = image.bytesPerLine();
    const QPoint shift = target->offset + stampOffset_;
    forEachMark([&](int x, int y) {
        const int left = x + shift.x(), top = y + shift.y();
        for (int r = 0; r < sh; ++r) {
            const int dy = top + r;
            if (dy < allowed.top() || dy > allowed.bottom())
                continue;
            auto [a, b] = spans[static_cast<size_t>(r)];
            a = std::max(a, allowed.left() - left);
            b = std::min(b, allowed.right() + 1 - left);
            if (a >= b)
                continue;
            const auto* src = reinterpret_cast<const quint32*>(stamp_.constScanLine(r));
            auto* dst = reinterpret_cast<quint32*>(bits + dy * bpl) + left;
            for (int c = a; c < b; ++c)
                if (src[c] != 0)
                    dst[c] = sourceOver(dst[c], src[c]);
        }
    });
}

} // namespace tellurix::lumenfold::plotting::detail
