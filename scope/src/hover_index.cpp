#include <tellurix/lumenfold/scope/hover_index.h>

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tellurix::lumenfold::scope {

namespace {

// The pixel a coordinate is drawn in, or -1 outside [0, extent). Compared as doubles
// first: a huge or non-finite mapped value must not reach the integer conversion.
inline int pixel_of(double p, int extent) {
    if (!(p > -0.5 && p < extent - 0.5))
        return -1;
    return qRound(p); // as the plot rounds its points to pixels
}

// The cell's place in the row-major cell arrays (computed in size_t: no int overflow).
inline std::size_t cell_at(int cx, int cy, int columns) {
    return static_cast<std::size_t>(cy) * static_cast<std::size_t>(columns) +
           static_cast<std::size_t>(cx);
}

inline bool drawable(double v, bool log) {
    return std::isfinite(v) && (!log || v > 0);
}

} // namespace

void HoverIndex::build(const std::vector<Series>& series, const QwtScaleMap& x_map,
                       const QwtScaleMap& y_map, QSize canvas) {
    entries_.clear();
    canvas_ = canvas.isValid() ? canvas : QSize(0, 0);
    const int w = canvas_.width(), h = canvas_.height();
    columns_ = (w + cell - 1) / cell;
    rows_ = (h + cell - 1) / cell;
    starts_.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_) + 1, 0);
    if (w == 0 || h == 0)
        return;
    const bool log_x = x_map.transformation() != nullptr;
    const bool log_y = y_map.transformation() != nullptr;

    // Each pixel keeps the last point drawn in it: later points of a curve are drawn over
    // earlier ones, and later curves over earlier curves. Column by column: consecutive
    // points of a curve over time fall in nearby columns, whose pixels then lie together in
    // memory, whatever their Y.
    pixels_.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
    for (std::size_t s = 0; s < series.size(); ++s) {
        const Series& c = series[s];
        const std::uint64_t tag = static_cast<std::uint64_t>(s + 1) << 32;
        for (std::size_t i = 0; i < c.size; ++i) {
            const double x = c.x[i], y = c.y[i];
            if (!drawable(x, log_x) || !drawable(y, log_y))
                continue;
            const int px = pixel_of(x_map.transform(x), w);
            if (px < 0)
                continue;
            const int py = pixel_of(y_map.transform(y), h);
            if (py < 0)
                continue;
            pixels_[static_cast<std::size_t>(px) * static_cast<std::size_t>(h) +
                    static_cast<std::size_t>(py)] = tag | static_cast<std::uint32_t>(i);
        }
    }

    // Filed cell by cell, so that a cell's points lie together; each kept point is mapped
    // once more for its exact position (at most one per pixel, so this is cheap).
    for (int cy = 0; cy < rows_; ++cy) {
        for (int cx = 0; cx < columns_; ++cx) {
            starts_[cell_at(cx, cy, columns_)] = static_cast<std::uint32_t>(entries_.size());
            const int x_end = std::min(w, (cx + 1) * cell), y_end = std::min(h, (cy + 1) * cell);
            for (int px = cx * cell; px < x_end; ++px) {
                const std::uint64_t* column = &pixels_[static_cast<std::size_t>(px) * h];
                for (int py = cy * cell; py < y_end; ++py) {
                    const std::uint64_t tag = column[py];
                    if (tag == 0)
                        continue;
                    const auto s = static_cast<std::uint32_t>((tag >> 32) - 1);
                    const auto i = static_cast<std::uint32_t>(tag);
                    entries_.push_back(Entry{static_cast<float>(x_map.transform(series[s].x[i])),
                                             static_cast<float>(y_map.transform(series[s].y[i])), i,
                                             s});
                }
            }
        }
    }
    starts_.back() = static_cast<std::uint32_t>(entries_.size());
}

std::optional<HoverIndex::Hit> HoverIndex::nearest(QPointF at) const {
    if (entries_.empty())
        return std::nullopt;
    const auto clamp_cell = [](double p, int count) {
        if (!(p >= 0))
            return 0;
        return std::min(count - 1, static_cast<int>(std::min(p / cell, double(count))));
    };
    const int gx = clamp_cell(at.x(), columns_), gy = clamp_cell(at.y(), rows_);

    const Entry* best = nullptr;
    double best_d2 = std::numeric_limits<double>::infinity();
    const auto visit = [&](int cx, int cy) {
        const std::size_t c = cell_at(cx, cy, columns_);
        for (std::uint32_t k = starts_[c]; k < starts_[c + 1]; ++k) {
            const Entry& e = entries_[k];
            const double dx = e.x - at.x(), dy = e.y - at.y();
            const double d2 = dx * dx + dy * dy;
            if (d2 < best_d2 || (d2 == best_d2 && e.series > best->series)) {
                best_d2 = d2;
                best = &e;
            }
        }
    };
    const int max_ring = std::max({gx, gy, columns_ - 1 - gx, rows_ - 1 - gy});
    for (int r = 0; r <= max_ring; ++r) {
        const int x0 = gx - r, x1 = gx + r, y0 = gy - r, y1 = gy + r;
        for (int cx = std::max(0, x0); cx <= std::min(columns_ - 1, x1); ++cx) {
            if (y0 >= 0)
                visit(cx, y0);
            if (y1 < rows_ && y1 != y0)
                visit(cx, y1);
        }
        for (int cy = std::max(0, y0 + 1); cy <= std::min(rows_ - 1, y1 - 1); ++cy) {
            if (x0 >= 0)
                visit(x0, cy);
            if (x1 < columns_ && x1 != x0)
                visit(x1, cy);
        }
        // Every cell of the next ring lies at least r cells beyond the cursor's own cell (a
        // position beyond the canvas edge only lies farther from them).
        const double reach = double(r) * cell;
        if (best && best_d2 <= reach * reach)
            break;
    }
    if (!best)
        return std::nullopt;
    return Hit{static_cast<int>(best->series), best->point, QPointF(best->x, best->y),
               std::sqrt(best_d2)};
}

void HoverIndex::clear() {
    entries_ = {};
    starts_ = {};
    pixels_ = {};
    canvas_ = QSize();
    columns_ = rows_ = 0;
}

} // namespace tellurix::lumenfold::scope
