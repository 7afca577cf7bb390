// The Qwt item behind a Curve: holds the data, answers bounds for auto ranging, and draws
// either through Qwt's own code (reference) or through the decimating fast path.
#pragma once

#include <tellurix/lumenfold/plotting.h>

#include "thin_line.h"

#include <qwt_plot_curve.h>
#include <qwt_scale_map.h>
#include <qwt_symbol.h>

#include <QImage>
#include <QPolygonF>
#include <QRectF>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
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

// Qwt's own linear mapping, p1 + (s - s1) * cnv, spelled out so that a loop keeps it in
// registers; offered only for a linear axis and only if it gives the very same values as
// the map.
struct LinearMap {
    double p1 = 0.0, s1 = 0.0, cnv = 1.0;
    double operator()(double s) const { return p1 + (s - s1) * cnv; }

    static std::optional<LinearMap> of(const QwtScaleMap& map, bool log) {
        if (log || map.transformation() != nullptr)
            return std::nullopt;
        LinearMap m;
        m.p1 = map.p1();
        m.s1 = map.s1();
        m.cnv = map.s1() != map.s2() ? (map.p2() - map.p1()) / (map.s2() - map.s1()) : 1.0;
        for (double probe : {map.s1(), map.s2(), 0.5 * (map.s1() + map.s2()), 0.0, 1.0})
            if (m(probe) != map.transform(probe))
                return std::nullopt;
        return m;
    }
};

/// Axis-aligned bounds of the usable points, or nothing when there is none.
struct Bounds {
    double xmin, xmax, ymin, ymax;
};

/// The image behind a painter, when pixels can be read and written in it directly: a raster
/// engine on a 32-bit image, translation only, plain source-over at full opacity.
struct DirectTarget {
    QImage* image = nullptr;
    QPoint offset; // logical -> device
    QRect allowed; // device pixels that may be touched
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
    /// One bit per logical pixel over `rect`; rows of `stride` 64-bit words.
    struct Plane {
        QRect rect;
        int stride = 0;
        std::vector<std::uint64_t>* bits = nullptr;

        void reset(const QRect& r, int rowWords, std::vector<std::uint64_t>& storage);
        std::uint64_t* row(int r) const {
            return bits->data() + static_cast<size_t>(r) * static_cast<size_t>(stride);
        }
        /// Sets the bit of a pixel, if the pixel lies in the rectangle.
        void setIn(std::int64_t x, std::int64_t y) {
            const std::int64_t cx = x - rect.left(), cy = y - rect.top();
            if (cx < 0 || cy < 0 || cx >= rect.width() || cy >= rect.height())
                return;
            row(static_cast<int>(cy))[cx >> 6] |= std::uint64_t{1} << (cx & 63);
        }
        bool test(int x, int y) const {
            const int cx = x - rect.left(), cy = y - rect.top();
            if (cx < 0 || cy < 0 || cx >= rect.width() || cy >= rect.height())
                return false;
            return (row(cy)[cx >> 6] >> (cx & 63)) & 1u;
        }
    };

    bool collectSorted(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                       bool logX, bool logY, Plane* marks) const;
    bool monotoneX() const;
    void collectMonotone(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                         bool logX, bool logY, Plane* marks) const;
    void collectUnsorted(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                         bool logX, bool logY, Plane* marks) const;
    bool collectInside(const LinearMap& mapX, const LinearMap& mapY, std::int64_t left,
                       std::int64_t right, std::int64_t top, std::int64_t bottom,
                       Plane* marks) const;
    void markSymbols(const QwtScaleMap& xMap, const QwtScaleMap& yMap, bool logX, bool logY,
                     Plane& marks) const;
    void build(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
               bool logX, bool logY, bool lines, bool marking, const QRect& area,
               const QRect& allowed, bool union_, const DirectTarget* target, bool thinPen) const;
    template <typename Covered, typename Flag>
    static size_t keepRuns(const QPoint* in, size_t count, std::vector<QPoint>& out,
                           Covered&& covered, Flag&& flag);
    static std::pair<size_t, size_t> keepFarRuns(const std::vector<QPoint>& in,
                                                 std::vector<QPoint>& out, const QRect& area,
                                                 int shortest);
    static size_t segmentCount(const std::vector<QPoint>& vertices);
    void drawVertices(QPainter* painter, const QRectF& canvasRect) const;
    /// Draws the kept runs with ThinLine into the image (closed runs through the painter).
    void drawThin(QPainter* painter, const DirectTarget& target) const;
    ThinLine thinLine(const DirectTarget& target) const;
    /// Calls visit(first, count) for each run of vertices between breaks.
    template <typename Visit>
    static void forEachRun(const QPoint* vertices, size_t size, Visit&& visit);
    void prepareStamp(QPainter* painter) const;
    void buildCover(const Plane& marks, const QRect& allowed, Plane& cover) const;
    void buildDeep(const Plane& cover, int radius, Plane& deep) const;
    void paintPlane(const DirectTarget& target, const Plane& plane, quint32 colour) const;
    bool makeLayer(QPainter* painter, const DirectTarget& target, const QRectF& canvasRect) const;
    void stampSymbols(QPainter* painter, const Plane& marks, const DirectTarget* target) const;
    void flushPolyline(QPainter* painter, const QRectF& clipRect) const;

    plotting::CurveStyle style_;
    QVector<double> x_;
    QVector<double> y_;
    bool fast_ = true;
    bool finite_ = false; // every coordinate of the data is finite

    // Caches, valid for the current data only.
    mutable std::array<std::optional<std::optional<Bounds>>, 4> bounds_;
    // Whether X is monotonic over the usable points, per X axis mode: unknown until drawn.
    enum class Order : std::uint8_t { Unknown, Monotonic, Unordered };
    mutable std::array<Order, 2> order_{Order::Unknown, Order::Unknown};
    // Whether X never goes back over all points (no NaN among them): unknown until drawn.
    mutable Order monotone_ = Order::Unknown;

    // Scratch reused from frame to frame (sized by the canvas, not by the data).
    // Working memory of one drawing, shared by every curve of the (GUI) thread: curves are
    // drawn one after another, and the largest of them sets its size, not their number.
    struct Scratch {
        QPolygonF line;
        std::vector<QPoint> verts, kept; // collected vertices, and what a filter keeps
        std::vector<std::uint64_t> marks, deep;
        std::vector<std::uint64_t> dilated, shifted, wide, across; // row work of the planes
        QImage layer; // a line drawn on its own, to read its pixels
    };
    static Scratch& scratch();
    QPolygonF& line_ = scratch().line;
    std::vector<QPoint>& verts_ = scratch().verts;
    std::vector<QPoint>& kept_ = scratch().kept;
    std::vector<std::uint64_t>& marks_ = scratch().marks;
    std::vector<std::uint64_t>& deep_ = scratch().deep;
    // The drawn form of the current data: what the last drawing found, reused while the
    // maps, the canvas, the painted area and the stamp stay the same, so that a repaint where
    // other curves changed does not walk this curve's points again.
    struct DrawKey {
        std::array<double, 8> maps{};
        QRectF canvas;
        QRect area, allowed;
        QSize image;
        quint64 stamp = 0;
        bool logX = false, logY = false, direct = false, target = false;
        bool operator==(const DrawKey& o) const;
    };
    mutable bool cached_ = false;
    mutable DrawKey key_;
    mutable std::vector<QPoint> drawn_;            // line vertices, covered pieces broken off
    mutable std::vector<std::uint64_t> planeBits_; // storage of plane_
    mutable Plane plane_;                          // symbol marks, or their painted union
    // The line's pixels as last drawn, once the same drawing was asked for twice.
    enum class Layer : std::uint8_t { None, Ready, Refused };
    mutable bool repeated_ = false;
    mutable Layer layer_ = Layer::None;
    mutable std::vector<std::uint64_t> layerBits_;
    mutable Plane layerPlane_;
    mutable quint32 layerColour_ = 0;
    mutable quint32 stampColour_ = 0; // the stamp's one opaque colour, or 0
    mutable int stampSquare_ = 0;     // radius of the opaque square around the stamp's centre
    mutable std::vector<std::pair<int, int>> stampSpans_;
    mutable QImage stamp_;
    mutable QPoint stampOffset_;
    mutable quint64 stampKey_ = 0;
};

} // namespace tellurix::lumenfold::plotting::detail
