// The Qwt item behind a Curve: holds the data, answers bounds for auto ranging, and draws
// either through Qwt's own code (reference) or through the decimating fast path, whose
// stages live in files of their own (see build() in curve_item.cpp for the order).
#pragma once

#include <tellurix/lumenfold/plotting.h>

#include "curve_cache.h"
#include "pixel_map.h"
#include "pixel_writer.h"

#include <qwt_plot_curve.h>
#include <qwt_scale_map.h>

#include <QRectF>

#include <optional>

namespace tellurix::lumenfold::plotting::detail {

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
    struct Frame; // what one drawing works with
    void drawReference(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                       const QRectF& canvasRect, bool logX, bool logY) const;
    void drawFast(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                  const QRectF& canvasRect, bool logX, bool logY) const;
    void build(const Frame& f) const;
    void collect(const Frame& f, Plane* marks) const;
    CollectInput input(const Frame& f) const;
    QRect markRows(const Frame& f) const;

    plotting::CurveStyle style_;
    QVector<double> x_;
    QVector<double> y_;
    bool fast_ = true;
    // Summary of the data and the drawn form, filled while drawing: a const drawing keeps
    // them, and nothing else changes behind the caller's back.
    mutable CurveCache cache_;
};

} // namespace tellurix::lumenfold::plotting::detail
