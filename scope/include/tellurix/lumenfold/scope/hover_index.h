// Which drawn point lies nearest to a pixel: an index of what a plot drew, built once per
// drawing and asked once per mouse move.
//
// The build maps every point of every curve through the plot's canvas maps, as the curves
// are drawn, and keeps one point per canvas pixel: the one drawn last there, which is the
// one the user sees. Those points are filed in square cells of a few pixels, so that a
// search looks at the cells around the cursor, ring by ring, and stops as soon as no
// farther cell can hold a nearer point. The search cost depends on the canvas, not on the
// amount of data.
#pragma once

#include <QPointF>
#include <QSize>

#include <qwt_scale_map.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tellurix::lumenfold::scope {

class HoverIndex {
public:
    /// The coordinates of one curve, in drawing order (a later curve is drawn over an
    /// earlier one). Not owned: they must live until build() returns.
    struct Series {
        const double* x = nullptr;
        const double* y = nullptr;
        std::size_t size = 0;
    };

    struct Hit {
        int series = -1;       // position in the list given to build()
        std::size_t point = 0; // index of the point in its series
        QPointF pixel;         // where it is drawn, canvas coordinates (not rounded)
        double distance = 0;   // from the asked position, in pixels
    };

    /// Side of a cell in pixels.
    static constexpr int cell = 8;

    /// Indexes the points that a canvas of `canvas` pixels shows through `x_map` and
    /// `y_map` (the plot's canvas maps; a map with a transformation is a log axis). Left
    /// out, as the drawing leaves them out: points with a coordinate that is NaN or
    /// infinite, non-positive on a log axis, or that falls outside the canvas.
    void build(const std::vector<Series>& series, const QwtScaleMap& x_map,
               const QwtScaleMap& y_map, QSize canvas);

    /// The indexed point nearest to `at` (canvas coordinates); none when nothing is
    /// indexed. Of points equally near, the one of the later series.
    std::optional<Hit> nearest(QPointF at) const;

    /// Points kept (at most one per canvas pixel).
    std::size_t size() const noexcept { return entries_.size(); }
    QSize canvas() const noexcept { return canvas_; }
    /// Gives the memory back; the index is then empty.
    void clear();

private:
    struct Entry {
        float x, y;          // canvas pixel position, not rounded
        std::uint32_t point; // index in the series
        std::uint32_t series;
    };

    QSize canvas_;
    int columns_ = 0, rows_ = 0;        // cells across and down
    std::vector<Entry> entries_;        // grouped by cell, cells row by row
    std::vector<std::uint32_t> starts_; // first entry of each cell, plus the end
    std::vector<std::uint64_t> pixels_; // scratch of the build: series + 1 and point per pixel
};

} // namespace tellurix::lumenfold::scope
