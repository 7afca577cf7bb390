// The plotting adapter: a plot widget with a view box and styled curves, built on Qwt.
//
// This is the seam between the panel and the plotting library. The surface is kept to what
// the plot widget uses; every other Qwt detail beyond the QwtPlot base stays in the .cpp.
//
// Coordinates: "widget pixels" are positions in the PlotWidgetBase's own coordinate system
// (as its event handlers receive them), "data coordinates" are the values the curves hold.
// All of it runs on the GUI thread.
#pragma once

#include <tellurix/lumenfold/plotting_export.h>

#include <QBrush>
#include <QColor>
#include <QList>
#include <QPen>
#include <QPointF>
#include <QRectF>
#include <QVector>

#include <qwt_plot.h>

#include <memory>

class QKeyEvent;
class QMouseEvent;
class QWheelEvent;

namespace tellurix::lumenfold::plotting {

class PlotWidgetBase;
class ViewBox;
namespace detail {
struct Engine; // the implementation's single point of access to private state
}

/// How a curve is drawn: a line with `pen` through the points, and a circular symbol of
/// diameter `symbolSize` pixels (filled with `symbolBrush`, outlined with `symbolPen`) at every
/// point. A `symbolSize` of 0 or less draws no symbols; a pen of style Qt::NoPen draws no line.
struct CurveStyle {
    QPen pen;
    QBrush symbolBrush;
    QPen symbolPen;
    double symbolSize = 0.0;
};

/// One curve of a plot. Created by PlotWidgetBase::plot() and owned by that plot widget: it
/// lives exactly as long as the widget, and callers hold plain non-owning pointers.
class LUMENFOLD_PLOTTING_EXPORT Curve {
public:
    Curve(const Curve&) = delete;
    Curve& operator=(const Curve&) = delete;
    ~Curve();

    /// Replaces all points of the curve. The vectors are kept as given (Qt's implicit sharing:
    /// no element is copied here; a later write by the caller to its own vector detaches the
    /// caller's copy, never the curve's). Points with a NaN or infinite coordinate, and on a log
    /// axis points with a non-positive coordinate, are not drawn and break the line there.
    /// Throws std::invalid_argument if x and y differ in length; the curve is then unchanged.
    /// Schedules a repaint; a view with automatic ranging or panning follows the new data.
    void setData(QVector<double> x, QVector<double> y);

    /// The points as last set (empty before the first setData).
    const QVector<double>& xData() const;
    const QVector<double>& yData() const;

    /// The style given when the curve was created.
    const CurveStyle& style() const;

private:
    friend struct detail::Engine;
    struct Impl;
    explicit Curve(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

/// The view of a plot: which rectangle of data coordinates the plot area shows, how it follows
/// the data, and how widget pixels map to data. Owned by its PlotItem (and so by the widget).
class LUMENFOLD_PLOTTING_EXPORT ViewBox {
public:
    ViewBox(const ViewBox&) = delete;
    ViewBox& operator=(const ViewBox&) = delete;
    ~ViewBox();

    /// Fits the view once to the finite points of all curves (on a log axis only the positive
    /// ones count), with a small margin. A linked axis fits the data of every view in its link
    /// group. With no such point the view stays as it is. Does not change automatic ranging.
    ///
    /// Every view, however it comes about, is one the axes can map: finite, ordered, at least
    /// 256 representable values wide at its magnitude, at most half the largest double wide on
    /// a linear axis and within [1e-150, 1e150] on a log axis. Data beyond those limits is
    /// shown in part (docs/departures.md, "Plot view").
    void autoRange();

    /// Fits now and again after every later setData of any curve of this plot, until the user
    /// pans or zooms, setRange() is called or setAutoPan() is chosen instead.
    void enableAutoRange();
    bool autoRangeEnabled() const;

    /// Strip-chart mode: from now on (and right away) the X range is moved so that the newest
    /// point (the last finite point of any curve) sits at the right edge, keeping the current
    /// X span; the Y range stays. Turns automatic ranging off; ends like it does.
    void setAutoPan();
    bool autoPanEnabled() const;

    /// Widget pixel -> data coordinates, using the layout as it is now. Exact inverse of
    /// mapViewToScene (up to floating-point rounding far below a pixel).
    QPointF mapSceneToView(QPointF widgetPixel) const;
    /// Data coordinates -> widget pixel.
    QPointF mapViewToScene(QPointF dataPoint) const;

    /// The rectangle shown: x = xmin, y = ymin, positive width and height, data coordinates.
    QRectF viewRange() const;

    /// Shows `r` (normalised first), turning automatic ranging and panning off: exactly, unless
    /// it is narrower or wider than an axis can map (see autoRange), in which case it is
    /// widened or narrowed about its middle, or clamped on a log axis. Throws
    /// std::invalid_argument for a non-finite or empty rectangle, or one reaching zero or below
    /// on a log axis; the view is then unchanged.
    void setRange(const QRectF& r);

    /// Shares the X (or Y) range with `other`'s link group: this view takes `other`'s range now,
    /// and from then on any change of one is applied to all. nullptr (or this view) leaves the
    /// group. Links end when either view is destroyed.
    void setXLink(ViewBox* other);
    void setYLink(ViewBox* other);

private:
    friend struct detail::Engine;
    struct Impl;
    explicit ViewBox(PlotWidgetBase* plot);
    std::unique_ptr<Impl> d;
};

/// The plot area of a plot widget; owned by the widget.
class LUMENFOLD_PLOTTING_EXPORT PlotItem {
public:
    PlotItem(const PlotItem&) = delete;
    PlotItem& operator=(const PlotItem&) = delete;
    ~PlotItem();

    /// The view box of this plot area (never null, owned by the plot item).
    ViewBox* vb();

private:
    friend struct detail::Engine;
    explicit PlotItem(PlotWidgetBase* plot);
    std::unique_ptr<ViewBox> view_;
};

/// A plot widget: one plot area with axes, optional grid lines, a background colour and any
/// number of curves. Mouse and key events over the plot area are delivered to this widget's
/// own handlers (positions in this widget's coordinates), whichever child Qwt routes them to.
/// The widget takes keyboard focus when clicked.
class LUMENFOLD_PLOTTING_EXPORT PlotWidgetBase : public QwtPlot {
    Q_OBJECT
public:
    explicit PlotWidgetBase(QWidget* parent = nullptr);
    ~PlotWidgetBase() override;

    /// The plot area (never null, owned by this widget).
    PlotItem* plotItem();

    /// Grid lines along the X axis (vertical lines) and along the Y axis (horizontal lines).
    void showGrid(bool x, bool y);
    bool gridShownX() const;
    bool gridShownY() const;

    /// Background colour of the plot area.
    void setBackground(const QColor& color);
    QColor background() const;

    /// Adds a curve with the given points (see Curve::setData, which throws the same way) and
    /// style. The widget owns the curve; the returned pointer stays valid for its lifetime.
    Curve* plot(QVector<double> x, QVector<double> y, const CurveStyle& style);

    /// Logarithmic (base 10) axes. Points with a non-positive coordinate on a log axis are not
    /// drawn and do not count for autoRange. A view reaching zero or below is refitted.
    void setLogMode(bool x, bool y);
    bool logModeX() const;
    bool logModeY() const;

    /// On by default: curves are drawn with the same picture but far less work (per-column
    /// min/max for lines over monotonic X, skipping repeated pixels otherwise, one stamped symbol
    /// per distinct pixel). Off: every point goes through Qwt's own drawing (reference picture).
    void setFastRendering(bool on);
    bool fastRendering() const;

    /// All curves, in creation order.
    QList<Curve*> curves() const;

protected:
    // Events over the plot area arrive here with positions in this widget's coordinates, also
    // when Qwt's canvas child received them. The base implementations perform the interaction:
    // left-drag pans, right-drag zooms (up = in), the wheel zooms around the cursor (wheel up =
    // zoom in). The middle button does nothing in the base. Any user pan or zoom turns
    // automatic ranging and panning off.
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

public:
    /// Routes the canvas's input events to the handlers above (Qwt's own use is kept).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool routeCanvasEvent(QObject* watched, QEvent* event);
    void settleRouted(QEvent* original, QEvent& routed);
    friend struct detail::Engine;
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tellurix::lumenfold::plotting
