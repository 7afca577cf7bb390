// The plot adapter's private state, and the one struct that reaches it: the public classes
// keep their state behind pimpls, and detail::Engine (a friend of each) implements what
// spans several of them. Its view ranging and linking live in plotting.cpp, the user's pan
// and zoom in pan_zoom.cpp.
#pragma once

#include <tellurix/lumenfold/plotting.h>

#include "curve_item.h"
#include "view_limits.h"

#include <qwt_plot_grid.h>
#include <qwt_scale_map.h>

#include <QPointF>

#include <memory>
#include <optional>
#include <vector>

namespace tellurix::lumenfold::plotting {

using detail::Bounds;
using detail::CurveItem;
using detail::Interval;

/// Views that share one axis: each member shows the same interval on it.
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
    // State and construction (plotting.cpp).
    static ViewBox::Impl& view(PlotWidgetBase* plot);
    static PlotWidgetBase::Impl& widget(PlotWidgetBase* plot);
    static ViewBox::Impl& view(ViewBox* vb);
    static CurveItem& item(Curve* c);
    static QwtScaleMap map(const PlotWidgetBase* plot, int axis);
    static Curve* makeCurve(PlotWidgetBase* plot, const CurveStyle& style);
    static ViewBox* makeView(PlotWidgetBase* plot);
    static PlotItem* makeItem(PlotWidgetBase* plot);

    // What is shown, fitting it to the data, and linked axes (plotting.cpp).
    static void show(PlotWidgetBase* plot, Interval x, Interval y);
    static void setScale(PlotWidgetBase* plot, int axis, Interval i);
    static void apply(ViewBox* vb, Interval x, Interval y);
    static std::optional<Bounds> dataBounds(PlotWidgetBase* plot, bool logX, bool logY);
    static std::vector<ViewBox*> fitGroup(ViewBox* vb, const std::shared_ptr<LinkGroup>& link);
    static std::optional<Interval> fitAxis(ViewBox* vb, bool xAxis);
    static void applyFit(ViewBox* vb, Interval x, Interval y);
    static void repaintCanvas(PlotWidgetBase* plot);
    static void autoRange(ViewBox* vb);
    static void autoPan(ViewBox* vb);
    static void dataChanged(PlotWidgetBase* plot);
    static void userMoved(ViewBox* vb);
    static void leave(ViewBox* vb, std::shared_ptr<LinkGroup>& link);
    static void join(ViewBox* vb, ViewBox* other, bool xAxis);

    // The user's pan and zoom (pan_zoom.cpp).
    static QPointF axisPointAt(PlotWidgetBase* plot, QPointF widgetPixel);
    static void placeAt(PlotWidgetBase* plot, QPointF widgetPixel, QPointF anchor, double spanX,
                        double spanY);
    static Interval axisSpan(const Interval& i, bool log);
    static void dragTo(PlotWidgetBase* plot, QPointF pos);
    static bool setAxisIntervals(PlotWidgetBase* plot, Interval ax, Interval ay);
    static QPointF canvasPoint(const PlotWidgetBase* plot, QPointF widgetPixel);
    static void zoomAt(PlotWidgetBase* plot, QPointF widgetPixel, double factor);
};

} // namespace detail

} // namespace tellurix::lumenfold::plotting
