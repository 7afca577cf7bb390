// Pan and zoom by the user: left-drag, right-drag and the wheel over the plot, all in axis
// space so that log axes pan and zoom evenly.
#include <tellurix/lumenfold/plotting.h>

#include "plot_private.h"

#include <qwt_plot_canvas.h>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <cmath>

namespace tellurix::lumenfold::plotting {

using detail::Engine;
using detail::fromAxis;
using detail::toAxis;

namespace {

constexpr double kWheelStep = 0.85;    // span factor per wheel notch (wheel up zooms in)
constexpr double kDragZoomRate = 0.01; // span factor exp(rate * pixels) for right-drag zoom

} // namespace

namespace detail {

// The axis-space point under a widget pixel, with the layout as it is now.
QPointF Engine::axisPointAt(PlotWidgetBase* plot, QPointF widgetPixel) {
    const auto& w = *plot->d;
    const QPointF c = canvasPoint(plot, widgetPixel);
    return {toAxis(map(plot, QwtPlot::xBottom).invTransform(c.x()), w.logX),
            toAxis(map(plot, QwtPlot::yLeft).invTransform(c.y()), w.logY)};
}

// Shows spans (axis space) placed so that `anchor` (axis space) lies under `widgetPixel`.
// The axes' label widths can move the canvas when the range changes, so the placement is
// refined until the anchor stays put.
void Engine::placeAt(PlotWidgetBase* plot, QPointF widgetPixel, QPointF anchor, double spanX,
                     double spanY) {
    for (int round = 0; round < 4; ++round) {
        const QwtScaleMap xm = map(plot, QwtPlot::xBottom);
        const QwtScaleMap ym = map(plot, QwtPlot::yLeft);
        if (xm.p2() == xm.p1() || ym.p2() == ym.p1())
            return;
        const QPointF c = canvasPoint(plot, widgetPixel);
        // Fractions along each axis from its low end (left, and bottom for Y).
        const double fx = (c.x() - xm.p1()) / (xm.p2() - xm.p1());
        const double fy = (c.y() - ym.p1()) / (ym.p2() - ym.p1());
        const double loX = anchor.x() - fx * spanX, loY = anchor.y() - fy * spanY;
        if (!setAxisIntervals(plot, Interval{loX, loX + spanX}, Interval{loY, loY + spanY}))
            return;
        const QPointF now = axisPointAt(plot, widgetPixel);
        if (std::abs(now.x() - anchor.x()) <= std::abs(spanX) * 1e-9 &&
            std::abs(now.y() - anchor.y()) <= std::abs(spanY) * 1e-9)
            return;
    }
}

Interval Engine::axisSpan(const Interval& i, bool log) {
    return {toAxis(i.lo, log), toAxis(i.hi, log)};
}

// Left-drag keeps the grabbed point under the cursor; right-drag zooms around the point
// where it began (to the right or up zooms in).
void Engine::dragTo(PlotWidgetBase* plot, QPointF pos) {
    auto& w = *plot->d;
    const Interval ax = axisSpan(w.dragX, w.logX), ay = axisSpan(w.dragY, w.logY);
    if (w.drag == PlotWidgetBase::Impl::Drag::Pan) {
        placeAt(plot, pos, w.dragAnchor, ax.hi - ax.lo, ay.hi - ay.lo);
        return;
    }
    const double dx = pos.x() - w.dragStart.x();
    const double dy = pos.y() - w.dragStart.y();
    placeAt(plot, w.dragStart, w.dragAnchor, (ax.hi - ax.lo) * std::exp(-dx * kDragZoomRate),
            (ay.hi - ay.lo) * std::exp(dy * kDragZoomRate));
}

// Shows intervals given in axis space, if they are usable, as the user's choice.
bool Engine::setAxisIntervals(PlotWidgetBase* plot, Interval ax, Interval ay) {
    auto& w = *plot->d;
    // A pan or zoom past what an axis can show stops at its limit (see view_limits.h).
    const auto x = detail::shown({fromAxis(ax.lo, w.logX), fromAxis(ax.hi, w.logX)}, w.logX);
    const auto y = detail::shown({fromAxis(ay.lo, w.logY), fromAxis(ay.hi, w.logY)}, w.logY);
    if (!x || !y)
        return false;
    ViewBox* vb = plot->d->plotItem->vb();
    userMoved(vb);
    apply(vb, *x, *y);
    return true;
}

QPointF Engine::canvasPoint(const PlotWidgetBase* plot, QPointF widgetPixel) {
    return widgetPixel - QPointF(plot->canvas()->pos());
}

void Engine::zoomAt(PlotWidgetBase* plot, QPointF widgetPixel, double factor) {
    auto& w = *plot->d;
    const auto& v = view(plot);
    const Interval ax = axisSpan(v.x, w.logX), ay = axisSpan(v.y, w.logY);
    placeAt(plot, widgetPixel, axisPointAt(plot, widgetPixel), (ax.hi - ax.lo) * factor,
            (ay.hi - ay.lo) * factor);
}

} // namespace detail

void PlotWidgetBase::keyPressEvent(QKeyEvent* event) {
    QwtPlot::keyPressEvent(event);
}

void PlotWidgetBase::keyReleaseEvent(QKeyEvent* event) {
    QwtPlot::keyReleaseEvent(event);
}

void PlotWidgetBase::mousePressEvent(QMouseEvent* event) {
    using Drag = Impl::Drag;
    if (d->drag != Drag::None)
        return;
    if (event->button() == Qt::LeftButton)
        d->drag = Drag::Pan;
    else if (event->button() == Qt::RightButton)
        d->drag = Drag::Zoom;
    else
        return;
    d->dragButton = event->button();
    d->dragStart = event->localPos();
    d->dragAnchor = Engine::axisPointAt(this, event->localPos());
    d->dragX = Engine::view(this).x;
    d->dragY = Engine::view(this).y;
    event->accept();
}

void PlotWidgetBase::mouseMoveEvent(QMouseEvent* event) {
    if (d->drag == Impl::Drag::None || !(event->buttons() & d->dragButton))
        return;
    Engine::dragTo(this, event->localPos());
    event->accept();
}

void PlotWidgetBase::mouseReleaseEvent(QMouseEvent* event) {
    if (d->drag == Impl::Drag::None || event->button() != d->dragButton)
        return;
    Engine::dragTo(this, event->localPos());
    d->drag = Impl::Drag::None;
    d->dragButton = Qt::NoButton;
    event->accept();
}

void PlotWidgetBase::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    Engine::zoomAt(this, event->position(), std::pow(kWheelStep, delta / 120.0));
    event->accept();
}

} // namespace tellurix::lumenfold::plotting
