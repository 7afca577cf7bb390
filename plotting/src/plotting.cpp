#include <tellurix/lumenfold/plotting.h>

#include "curve_item.h"
#include "qwt_settings.h"
#include "tick_labels.h"
#include "view_limits.h"

#include <qwt_painter.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_grid.h>
#include <qwt_scale_div.h>
#include <qwt_scale_engine.h>
#include <qwt_scale_map.h>

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tellurix::lumenfold::plotting {

using detail::Bounds;
using detail::CurveItem;

using detail::fromAxis;
using detail::Interval;
using detail::toAxis;

namespace {

constexpr double kWheelStep = 0.85;    // span factor per wheel notch (wheel up zooms in)
constexpr double kDragZoomRate = 0.01; // span factor exp(rate * pixels) for right-drag zoom

// What setRange accepts from a caller; what is then shown may still be clamped or widened.
bool validInterval(double lo, double hi, bool log) {
    return std::isfinite(lo) && std::isfinite(hi) && lo < hi && (!log || lo > 0.0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Private parts

struct LinkGroup {
    std::vector<ViewBox*> members;
};

struct Curve::Impl {
    PlotWidgetBase* plot = nullptr;
    std::unique_ptr<CurveItem> item;
};

struct ViewBox::Impl {
    PlotWidgetBase* plot = nullptr;
    bool autoRange = false;
    bool autoPan = false;
    std::shared_ptr<LinkGroup> xLink;
    std::shared_ptr<LinkGroup> yLink;
    Interval x{0.0, 1.0};
    Interval y{0.0, 1.0};
};

struct PlotWidgetBase::Impl {
    std::unique_ptr<PlotItem> plotItem;
    std::vector<std::unique_ptr<Curve>> curves;
    std::unique_ptr<QwtPlotGrid> grid;
    QColor background{Qt::white};
    bool logX = false;
    bool logY = false;
    bool fast = true;

    enum class Drag { None, Pan, Zoom };
    Drag drag = Drag::None;
    Qt::MouseButton dragButton = Qt::NoButton;
    QPointF dragStart;
    QPointF dragAnchor; // axis-space point under the cursor when the drag began
    Interval dragX{0.0, 1.0};
    Interval dragY{0.0, 1.0};
};

namespace detail {

struct Engine {
    static ViewBox::Impl& view(PlotWidgetBase* plot) { return *plot->d->plotItem->view_->d; }
    static PlotWidgetBase::Impl& widget(PlotWidgetBase* plot) { return *plot->d; }
    static ViewBox::Impl& view(ViewBox* vb) { return *vb->d; }
    static CurveItem& item(Curve* c) { return *c->d->item; }

    // Puts the intervals on the axes, without touching any linked view. What an axis cannot
    // map soundly is clamped or widened first (see view_limits.h); an interval with a NaN end
    // leaves that axis as it was.
    static void show(PlotWidgetBase* plot, Interval x, Interval y) {
        auto& v = view(plot);
        v.x = detail::shown(x, plot->d->logX).value_or(v.x);
        v.y = detail::shown(y, plot->d->logY).value_or(v.y);
        setScale(plot, QwtPlot::xBottom, v.x);
        setScale(plot, QwtPlot::yLeft, v.y);
        plot->updateAxes();
        // The axes' label widths move the canvas; the pixel mapping must reflect that now.
        plot->updateLayout();
        plot->replot();
    }

    // Lays the ticks over an axis and chooses how they are written; the title carries the
    // offset the labels are written from, if any.
    static void setScale(PlotWidgetBase* plot, int axis, Interval i) {
        QwtScaleDiv div = plot->axisScaleEngine(axis)->divideScale(
            i.lo, i.hi, plot->axisMaxMajor(axis), plot->axisMaxMinor(axis));
        // The log engine lays its ticks within 1e-100 and 1e100 only, and an engine that gives
        // up returns an empty division: the range is kept, with whatever ticks it got.
        if (div.lowerBound() != i.lo || div.upperBound() != i.hi)
            div =
                QwtScaleDiv(i.lo, i.hi, div.ticks(QwtScaleDiv::MinorTick),
                            div.ticks(QwtScaleDiv::MediumTick), div.ticks(QwtScaleDiv::MajorTick));
        auto* labels = static_cast<detail::TickLabels*>(plot->axisScaleDraw(axis));
        plot->setAxisScaleDiv(axis, labels->follow(div));
        const QString title = labels->title();
        if (plot->axisTitle(axis).text() != title)
            plot->setAxisTitle(axis, title);
    }

    // Shows the intervals and hands each to the views linked on that axis.
    static void apply(ViewBox* vb, Interval x, Interval y) {
        auto& v = *vb->d;
        show(v.plot, x, y);
        if (v.xLink)
            for (ViewBox* other : v.xLink->members)
                if (other != vb)
                    show(other->d->plot, x, other->d->y);
        if (v.yLink)
            for (ViewBox* other : v.yLink->members)
                if (other != vb)
                    show(other->d->plot, other->d->x, y);
    }

    static std::optional<Bounds> dataBounds(PlotWidgetBase* plot, bool logX, bool logY) {
        std::optional<Bounds> all;
        for (const auto& c : plot->d->curves) {
            const auto b = c->d->item->bounds(logX, logY);
            if (!b)
                continue;
            if (!all) {
                all = b;
                continue;
            }
            all->xmin = std::min(all->xmin, b->xmin);
            all->xmax = std::max(all->xmax, b->xmax);
            all->ymin = std::min(all->ymin, b->ymin);
            all->ymax = std::max(all->ymax, b->ymax);
        }
        return all;
    }

    // Views whose data decide the fit of one axis: the link group, or the view alone.
    static std::vector<ViewBox*> fitGroup(ViewBox* vb, const std::shared_ptr<LinkGroup>& link) {
        if (link)
            return link->members;
        return {vb};
    }

    static std::optional<Interval> fitAxis(ViewBox* vb, bool xAxis) {
        const auto& v = *vb->d;
        const bool logX = v.plot->d->logX, logY = v.plot->d->logY;
        std::optional<Interval> span;
        for (ViewBox* member : fitGroup(vb, xAxis ? v.xLink : v.yLink)) {
            const auto b = dataBounds(member->d->plot, logX, logY);
            if (!b)
                continue;
            const Interval i = xAxis ? Interval{b->xmin, b->xmax} : Interval{b->ymin, b->ymax};
            if (!span)
                span = i;
            else
                span = Interval{std::min(span->lo, i.lo), std::max(span->hi, i.hi)};
        }
        if (!span)
            return std::nullopt;
        return detail::fitted(span->lo, span->hi, xAxis ? logX : logY);
    }

    // Applies a fitted view; one that is already shown (and so shared with every linked
    // view) needs no new axes and no new layout, only the repaint.
    static void applyFit(ViewBox* vb, Interval x, Interval y) {
        if (x == vb->d->x && y == vb->d->y) {
            vb->d->plot->replot();
            return;
        }
        apply(vb, x, y);
    }

    static void autoRange(ViewBox* vb) {
        const auto x = fitAxis(vb, true);
        const auto y = fitAxis(vb, false);
        if (!x && !y)
            return;
        applyFit(vb, x.value_or(vb->d->x), y.value_or(vb->d->y));
    }

    static void autoPan(ViewBox* vb) {
        auto& v = *vb->d;
        const bool logX = v.plot->d->logX, logY = v.plot->d->logY;
        std::optional<double> newest;
        for (const auto& c : v.plot->d->curves) {
            const auto n = c->d->item->newestX(logX, logY);
            if (n && (!newest || *n > *newest))
                newest = n;
        }
        if (!newest)
            return;
        const double span = toAxis(v.x.hi, logX) - toAxis(v.x.lo, logX);
        const double hi = toAxis(*newest, logX);
        Interval x =
            detail::shown(Interval{fromAxis(hi - span, logX), *newest}, logX).value_or(v.x);
        // A span too narrow to show at the newest point's magnitude grows to the left only, so
        // that the newest point stays at the right edge.
        if (x.hi != *newest) {
            const double shownSpan = toAxis(x.hi, logX) - toAxis(x.lo, logX);
            x = detail::shown(Interval{fromAxis(hi - shownSpan, logX), *newest}, logX).value_or(x);
        }
        applyFit(vb, x, v.y);
    }

    static void dataChanged(PlotWidgetBase* plot) {
        ViewBox* vb = plot->d->plotItem->vb();
        if (vb->d->autoRange)
            autoRange(vb);
        else if (vb->d->autoPan)
            autoPan(vb);
        else
            plot->replot();
    }

    // A pan or zoom by the user ends automatic ranging and panning of every view that
    // shares an axis with this one, so that a linked view does not snap it back.
    static void userMoved(ViewBox* vb) {
        auto stop = [](ViewBox* member) {
            member->d->autoRange = false;
            member->d->autoPan = false;
        };
        stop(vb);
        for (const auto* link : {&vb->d->xLink, &vb->d->yLink})
            if (*link)
                for (ViewBox* member : (*link)->members)
                    stop(member);
    }

    static void leave(ViewBox* vb, std::shared_ptr<LinkGroup>& link) {
        if (!link)
            return;
        auto& m = link->members;
        m.erase(std::remove(m.begin(), m.end(), vb), m.end());
        link.reset();
    }

    static void join(ViewBox* vb, ViewBox* other, bool xAxis) {
        auto& mine = xAxis ? vb->d->xLink : vb->d->yLink;
        leave(vb, mine);
        if (other == nullptr || other == vb)
            return;
        auto& theirs = xAxis ? other->d->xLink : other->d->yLink;
        if (!theirs) {
            theirs = std::make_shared<LinkGroup>();
            theirs->members.push_back(other);
        }
        mine = theirs;
        mine->members.push_back(vb);
        if (xAxis)
            show(vb->d->plot, other->d->x, vb->d->y);
        else
            show(vb->d->plot, vb->d->x, other->d->y);
    }

    static QwtScaleMap map(const PlotWidgetBase* plot, int axis) { return plot->canvasMap(axis); }

    static Curve* makeCurve(PlotWidgetBase* plot, const CurveStyle& style) {
        auto ci = std::make_unique<Curve::Impl>();
        ci->plot = plot;
        ci->item = std::make_unique<CurveItem>(style);
        ci->item->setFast(plot->d->fast);
        ci->item->attach(plot);
        plot->d->curves.push_back(std::unique_ptr<Curve>(new Curve(std::move(ci))));
        return plot->d->curves.back().get();
    }

    static ViewBox* makeView(PlotWidgetBase* plot) { return new ViewBox(plot); }

    static PlotItem* makeItem(PlotWidgetBase* plot) { return new PlotItem(plot); }

    // The axis-space point under a widget pixel, with the layout as it is now.
    static QPointF axisPointAt(PlotWidgetBase* plot, QPointF widgetPixel) {
        const auto& w = *plot->d;
        const QPointF c = canvasPoint(plot, widgetPixel);
        return {toAxis(map(plot, QwtPlot::xBottom).invTransform(c.x()), w.logX),
                toAxis(map(plot, QwtPlot::yLeft).invTransform(c.y()), w.logY)};
    }

    // Shows spans (axis space) placed so that `anchor` (axis space) lies under `widgetPixel`.
    // The axes' label widths can move the canvas when the range changes, so the placement is
    // refined until the anchor stays put.
    static void placeAt(PlotWidgetBase* plot, QPointF widgetPixel, QPointF anchor, double spanX,
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

    static Interval axisSpan(const Interval& i, bool log) {
        return {toAxis(i.lo, log), toAxis(i.hi, log)};
    }

    // Left-drag keeps the grabbed point under the cursor; right-drag zooms around the point
    // where it began (to the right or up zooms in).
    static void dragTo(PlotWidgetBase* plot, QPointF pos) {
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
    static bool setAxisIntervals(PlotWidgetBase* plot, Interval ax, Interval ay) {
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

    static QPointF canvasPoint(const PlotWidgetBase* plot, QPointF widgetPixel) {
        return widgetPixel - QPointF(plot->canvas()->pos());
    }

    static void zoomAt(PlotWidgetBase* plot, QPointF widgetPixel, double factor) {
        auto& w = *plot->d;
        const auto& v = view(plot);
        const Interval ax = axisSpan(v.x, w.logX), ay = axisSpan(v.y, w.logY);
        placeAt(plot, widgetPixel, axisPointAt(plot, widgetPixel), (ax.hi - ax.lo) * factor,
                (ay.hi - ay.lo) * factor);
    }
};

} // namespace detail

using detail::Engine;

// ---------------------------------------------------------------------------------------------
// Curve

Curve::Curve(std::unique_ptr<Impl> impl)
    : d(std::move(impl)) {}

Curve::~Curve() {
    d->item->detach();
}

void Curve::setData(QVector<double> x, QVector<double> y) {
    if (x.size() != y.size())
        throw std::invalid_argument("Curve::setData: x has " + std::to_string(x.size()) +
                                    " values but y has " + std::to_string(y.size()));
    d->item->setValues(std::move(x), std::move(y));
    Engine::dataChanged(d->plot);
}

const QVector<double>& Curve::xData() const {
    return d->item->xs();
}

const QVector<double>& Curve::yData() const {
    return d->item->ys();
}

const CurveStyle& Curve::style() const {
    return d->item->curveStyle();
}

// ---------------------------------------------------------------------------------------------
// ViewBox

ViewBox::ViewBox(PlotWidgetBase* plot)
    : d(std::make_unique<Impl>()) {
    d->plot = plot;
}

ViewBox::~ViewBox() {
    Engine::leave(this, d->xLink);
    Engine::leave(this, d->yLink);
}

void ViewBox::autoRange() {
    Engine::autoRange(this);
}

void ViewBox::enableAutoRange() {
    d->autoPan = false;
    d->autoRange = true;
    Engine::autoRange(this);
}

bool ViewBox::autoRangeEnabled() const {
    return d->autoRange;
}

void ViewBox::setAutoPan() {
    d->autoRange = false;
    d->autoPan = true;
    Engine::autoPan(this);
}

bool ViewBox::autoPanEnabled() const {
    return d->autoPan;
}

QPointF ViewBox::mapSceneToView(QPointF widgetPixel) const {
    const QPointF c = Engine::canvasPoint(d->plot, widgetPixel);
    return {Engine::map(d->plot, QwtPlot::xBottom).invTransform(c.x()),
            Engine::map(d->plot, QwtPlot::yLeft).invTransform(c.y())};
}

QPointF ViewBox::mapViewToScene(QPointF dataPoint) const {
    const QPointF c{Engine::map(d->plot, QwtPlot::xBottom).transform(dataPoint.x()),
                    Engine::map(d->plot, QwtPlot::yLeft).transform(dataPoint.y())};
    return c + QPointF(d->plot->canvas()->pos());
}

QRectF ViewBox::viewRange() const {
    return QRectF(QPointF(d->x.lo, d->y.lo), QPointF(d->x.hi, d->y.hi));
}

void ViewBox::setRange(const QRectF& r) {
    const QRectF n = r.normalized();
    const bool logX = Engine::widget(d->plot).logX, logY = Engine::widget(d->plot).logY;
    if (!validInterval(n.left(), n.right(), logX) || !validInterval(n.top(), n.bottom(), logY))
        throw std::invalid_argument("ViewBox::setRange: the range must be finite, non-empty "
                                    "and positive on a log axis");
    d->autoRange = false;
    d->autoPan = false;
    Engine::apply(this, Interval{n.left(), n.right()}, Interval{n.top(), n.bottom()});
}

void ViewBox::setXLink(ViewBox* other) {
    Engine::join(this, other, true);
}

void ViewBox::setYLink(ViewBox* other) {
    Engine::join(this, other, false);
}

// ---------------------------------------------------------------------------------------------
// PlotItem

PlotItem::PlotItem(PlotWidgetBase* plot)
    : view_(Engine::makeView(plot)) {}

PlotItem::~PlotItem() = default;

ViewBox* PlotItem::vb() {
    return view_.get();
}

// ---------------------------------------------------------------------------------------------
// PlotWidgetBase

PlotWidgetBase::PlotWidgetBase(QWidget* parent)
    : QwtPlot(parent)
    , d(std::make_unique<Impl>()) {
    setAutoReplot(false);
    detail::keepPolylinesWhole(); // process-wide, once (see qwt_settings.h)
    d->plotItem.reset(Engine::makeItem(this));

    d->grid = std::make_unique<QwtPlotGrid>();
    d->grid->enableX(false);
    d->grid->enableY(false);
    d->grid->setMajorPen(QPen(QColor(128, 128, 128, 80), 0));
    d->grid->attach(this);

    setAxisScaleEngine(QwtPlot::xBottom, new QwtLinearScaleEngine);
    setAxisScaleEngine(QwtPlot::yLeft, new QwtLinearScaleEngine);
    setAxisScaleDraw(QwtPlot::xBottom, new detail::TickLabels);
    setAxisScaleDraw(QwtPlot::yLeft, new detail::TickLabels);
    setBackground(d->background);

    // Curves are redrawn on every replot anyway; painting straight into the window's (or a
    // render target's) image lets the curves stamp their symbols into it.
    if (auto* c = qobject_cast<QwtPlotCanvas*>(canvas()))
        c->setPaintAttribute(QwtPlotCanvas::BackingStore, false);

    // Input over the plot area is handled as this widget's own (see eventFilter).
    setFocusPolicy(Qt::StrongFocus);
    canvas()->setFocusPolicy(Qt::NoFocus);
    canvas()->installEventFilter(this);

    Engine::show(this, Interval{0.0, 1.0}, Interval{0.0, 1.0});
}

PlotWidgetBase::~PlotWidgetBase() {
    // Our items are owned here, not by QwtPlot's item list.
    d->curves.clear();
    d->grid->detach();
}

PlotItem* PlotWidgetBase::plotItem() {
    return d->plotItem.get();
}

void PlotWidgetBase::showGrid(bool x, bool y) {
    d->grid->enableX(x);
    d->grid->enableY(y);
    replot();
}

bool PlotWidgetBase::gridShownX() const {
    return d->grid->xEnabled();
}

bool PlotWidgetBase::gridShownY() const {
    return d->grid->yEnabled();
}

void PlotWidgetBase::setBackground(const QColor& color) {
    d->background = color;
    setCanvasBackground(QBrush(color));
    replot();
}

QColor PlotWidgetBase::background() const {
    return d->background;
}

Curve* PlotWidgetBase::plot(QVector<double> x, QVector<double> y, const CurveStyle& style) {
    if (x.size() != y.size())
        throw std::invalid_argument("PlotWidgetBase::plot: x has " + std::to_string(x.size()) +
                                    " values but y has " + std::to_string(y.size()));
    Curve* c = Engine::makeCurve(this, style);
    c->setData(std::move(x), std::move(y));
    return c;
}

void PlotWidgetBase::setLogMode(bool x, bool y) {
    if (x == d->logX && y == d->logY)
        return;
    d->logX = x;
    d->logY = y;
    auto engine = [](bool log) -> QwtScaleEngine* {
        if (log)
            return new QwtLogScaleEngine;
        return new QwtLinearScaleEngine;
    };
    setAxisScaleEngine(QwtPlot::xBottom, engine(x));
    setAxisScaleEngine(QwtPlot::yLeft, engine(y));

    // A range that reaches zero or below cannot be shown on a log axis: refit that axis to
    // the positive data, or a default decade span without any.
    ViewBox* vb = d->plotItem->vb();
    Interval nx = Engine::view(vb).x, ny = Engine::view(vb).y;
    const auto fx = Engine::fitAxis(vb, true);
    const auto fy = Engine::fitAxis(vb, false);
    if (x && nx.lo <= 0.0)
        nx = fx.value_or(Interval{1.0, 10.0});
    if (y && ny.lo <= 0.0)
        ny = fy.value_or(Interval{1.0, 10.0});
    if (Engine::view(vb).autoRange) {
        nx = fx.value_or(nx);
        ny = fy.value_or(ny);
    }
    Engine::show(this, nx, ny);
}

bool PlotWidgetBase::logModeX() const {
    return d->logX;
}

bool PlotWidgetBase::logModeY() const {
    return d->logY;
}

void PlotWidgetBase::setFastRendering(bool on) {
    d->fast = on;
    for (const auto& c : d->curves)
        Engine::item(c.get()).setFast(on);
    replot();
}

bool PlotWidgetBase::fastRendering() const {
    return d->fast;
}

QList<Curve*> PlotWidgetBase::curves() const {
    QList<Curve*> out;
    for (const auto& c : d->curves)
        out.append(c.get());
    return out;
}

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
