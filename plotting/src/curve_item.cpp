#include "curve_item.h"

#include <qwt_scale_map.h>

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tellurix::lumenfold::plotting::detail {

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
    if (x_.isEmpty() || from > to)
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
    drawReference(painter, xMap, yMap, canvasRect, logX, logY);
}

} // namespace tellurix::lumenfold::plotting::detail
