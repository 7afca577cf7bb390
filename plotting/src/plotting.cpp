#include <tellurix/lumenfold/plotting.h>

#include "plot_private.h"
#include "qwt_settings.h"
#include "tick_labels.h"

#include <qwt_painter.h>
#include <qwt_plot_canvas.h>
#include <qwt_scale_div.h>
#include <qwt_scale_engine.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tellurix::lumenfold::plotting {

using detail::fromAxis;
using detail::toAxis;

namespace {

// What setRange accepts from a caller; what is then shown may still be clamped or widened.
bool validInterval(double lo, double hi, bool log) {
    return std::isfinite(lo) && std::isfinite(hi) && lo < hi && (!log || lo > 0.0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// View ranging and linking

namespace detail {

ViewBox::Impl& Engine::view(PlotWidgetBase* plot) {
    return *plot->d->plotItem->view_->d;
}

PlotWidgetBase::Impl& Engine::widget(PlotWidgetBase* plot) {
    return *plot->d;
}

ViewBox::Impl& Engine::view(ViewBox* vb) {
    return *vb->d;
}

CurveItem& Engine::item(Curve* c) {
    return *c->d->item;
}

// Puts the intervals on the axes, without touching any linked view. What an axis cannot
// map soundly is clamped or widened first (see view_limits.h); an interval with a NaN end
// leaves that axis as it was.
void Engine::show(PlotWidgetBase* plot, Interval x, Interval y) {
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
void Engine::setScale(PlotWidgetBase* plot, int axis, Interval i) {
    QwtScaleDiv div = plot->axisScaleEngine(axis)->divideScale(i.lo, i.hi, plot->axisMaxMajor(axis),
                                                               plot->axisMaxMinor(axis));
    // The log engine lays its ticks within 1e-100 and 1e100 only, and an engine that gives
    // up returns an empty division: the range is kept, with whatever ticks it got.
    if (div.lowerBound() != i.lo || div.upperBound() != i.hi)
        div = QwtScaleDiv(i.lo, i.hi, div.ticks(QwtScaleDiv::MinorTick),
                          div.ticks(QwtScaleDiv::MediumTick), div.ticks(QwtScaleDiv::MajorTick));
    auto* labels = static_cast<detail::TickLabels*>(plot->axisScaleDraw(axis));
    plot->setAxisScaleDiv(axis, labels->follow(div));
    const QString title = labels->title();
    if (plot->axisTitle(axis).text() != title)
        plot->setAxisTitle(axis, title);
}

// Shows the intervals and hands each to the views linked on that axis.
void Engine::apply(ViewBox* vb, Interval x, Interval y) {
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

std::optional<Bounds> Engine::dataBounds(PlotWidgetBase* plot, bool logX, bool logY) {
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
std::vector<ViewBox*> Engine::fitGroup(ViewBox* vb, const std::shared_ptr<LinkGroup>& link) {
    if (link)
        return link->members;
    return {vb};
}

std::optional<Interval> Engine::fitAxis(ViewBox* vb, bool xAxis) {
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
void Engine::applyFit(ViewBox* vb, Interval x, Interval y) {
    if (x == vb->d->x && y == vb->d->y) {
        repaintCanvas(vb->d->plot);
        return;
    }
    apply(vb, x, y);
}

// The curves again on unchanged axes. QwtPlot::replot would first lay out every axis anew
// (scale divisions, tick labels, layout requests), which for a plot fed every frame cost
// more than drawing a small curve.
void Engine::repaintCanvas(PlotWidgetBase* plot) {
    if (auto* canvas = qobject_cast<QwtPlotCanvas*>(plot->canvas()))
        canvas->replot();
    else
        plot->replot();
}

void Engine::autoRange(ViewBox* vb) {
    const auto x = fitAxis(vb, true);
    const auto y = fitAxis(vb, false);
    if (!x && !y)
        return;
    applyFit(vb, x.value_or(vb->d->x), y.value_or(vb->d->y));
}

void Engine::autoPan(ViewBox* vb) {
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
    Interval x = detail::shown(Interval{fromAxis(hi - span, logX), *newest}, logX).value_or(v.x);
    // A span too narrow to show at the newest point's magnitude grows to the left only, so
    // that the newest point stays at the right edge.
    if (x.hi != *newest) {
        const double shownSpan = toAxis(x.hi, logX) - toAxis(x.lo, logX);
        x = detail::shown(Interval{fromAxis(hi - shownSpan, logX), *newest}, logX).value_or(x);
    }
    applyFit(vb, x, v.y);
}

void Engine::dataChanged(PlotWidgetBase* plot) {
    ViewBox* vb = plot->d->plotItem->vb();
    if (vb->d->autoRange)
        autoRange(vb);
    else if (vb->d->autoPan)
        autoPan(vb);
    else
        repaintCanvas(plot);
}

// A pan or zoom by the user ends automatic ranging and panning of every view that
// shares an axis with this one, so that a linked view does not snap it back.
void Engine::userMoved(ViewBox* vb) {
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

void Engine::leave(ViewBox* vb, std::shared_ptr<LinkGroup>& link) {
    if (!link)
        return;
    auto& m = link->members;
    m.erase(std::remove(m.begin(), m.end(), vb), m.end());
    link.reset();
}

void Engine::join(ViewBox* vb, ViewBox* other, bool xAxis) {
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

QwtScaleMap Engine::map(const PlotWidgetBase* plot, int axis) {
    return plot->canvasMap(axis);
}

Curve* Engine::makeCurve(PlotWidgetBase* plot, const CurveStyle& style) {
    auto ci = std::make_unique<Curve::Impl>();
    ci->plot = plot;
    ci->item = std::make_unique<CurveItem>(style);
    ci->item->setFast(plot->d->fast);
    ci->item->attach(plot);
    plot->d->curves.push_back(std::unique_ptr<Curve>(new Curve(std::move(ci))));
    return plot->d->curves.back().get();
}

ViewBox* Engine::makeView(PlotWidgetBase* plot) {
    return new ViewBox(plot);
}

PlotItem* Engine::makeItem(PlotWidgetBase* plot) {
    return new PlotItem(plot);
}

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

} // namespace tellurix::lumenfold::plotting
