// The Qwt item behind a Curve: holds the data, answers bounds for auto ranging, and draws
// either through Qwt's own code (reference) or through the decimating fast path.
#pragma once

#include <tellurix/lumenfold/plotting.h>

#include <qwt_plot_curve.h>
#include <qwt_symbol.h>

#include <QImage>
#include <QPolygonF>
#include <QRectF>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// A point counts when both coordinates are finite and, on a log axis, positive.
inline bool usable(double x, double y, bool logX, bool logY) {
    // Written so that NaN fails every comparison.
    const bool xo = logX ? (x > 0.0 && x <= 1.79769313486231570e308)
                         : (x >= -1.79769313486231570e308 && x <= 1.79769313486231570e308);
    const bool yo = logY ? (y > 0.0 && y <= 1.79769313486231570e308)
                         : (y >= -1.79769313486231570e308 && y <= 1.79769313486231570e308);
    return xo && yo;
}

/// Axis-aligned bounds of the usable points, or nothing when there is none.
struct Bounds {
    double xmin, xmax, ymin, ymax;
};

class CurveItem : public QwtPlotCurve {
public:
    explicit CurveItem(const plotting::CurveStyle& style);
    ~CurveItem() override;

    /// Takes the vectors as they are (shared, not copied). Sizes must already match.
    void setValues(QVector<double> x, QVector<double> y);
    const QVector<double>& xs() const { return x_; }
    const QVector<double>& ys() const { return y_; }
    const plotting::CurveStyle& curveStyle() const { return style_; }

    void setFast(bool on) { fast_ = on; }

    /// Bounds of the usable points for the given axis modes (cached until the data changes).
    std::optional<Bounds> bounds(bool logX, bool logY) const;
    /// X of the last usable point in record order.
    std::optional<double> newestX(bool logX, bool logY) const;

    QRectF boundingRect() const override;

protected:
    void drawSeries(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                    const QRectF& canvasRect, int from, int to) const override;

private:
    void drawReference(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                       const QRectF& canvasRect, bool logX, bool logY) const;
    void drawFast(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                  const QRectF& canvasRect, bool logX, bool logY) const;
    bool drawLinesSorted(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                         const QRectF& canvasRect, bool logX, bool logY) const;
    void drawLinesUnsorted(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                           const QRectF& canvasRect, bool logX, bool logY) const;
    void markSymbols(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRect& area, bool logX,
                     bool logY) const;
    void stampSymbols(QPainter* painter, const QRect& area) const;
    void flushPolyline(QPainter* painter, const QRectF& clipRect) const;

    plotting::CurveStyle style_;
    QVector<double> x_;
    QVector<double> y_;
    bool fast_ = true;

    // Caches, valid for the current data only.
    mutable std::array<std::optional<std::optional<Bounds>>, 4> bounds_;
    // Whether X is monotonic over the usable points, per X axis mode: unknown until drawn.
    enum class Order : std::uint8_t { Unknown, Monotonic, Unordered };
    mutable std::array<Order, 2> order_{Order::Unknown, Order::Unknown};

    // Scratch reused from frame to frame (sized by the canvas, not by the data).
    mutable QPolygonF line_;
    mutable std::vector<std::uint64_t> marks_;
    mutable int marksStride_ = 0;
    mutable QImage stamp_;
    mutable QPoint stampOffset_;
    mutable quint64 stampKey_ = 0;
};

} // namespace tellurix::lumenfold::plotting::detail
