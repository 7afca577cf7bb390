// One-pixel solid lines written straight into a 32-bit image, pixel for pixel as the raster
// paint engine draws an aliased polyline with a pen of width 0 or 1. Going through QPainter
// costs a path, a transform and a span buffer per polyline and some sixty instructions a
// pixel; a curve of many short segments spends most of its time there.
#pragma once

#include <QPen>
#include <QPoint>
#include <QRect>

#include <climits>
#include <cstdint>

class QPainter;

namespace tellurix::lumenfold::plotting::detail {

class ThinLine {
public:
    /// Whether a polyline drawn with this pen on this painter can be written by ThinLine
    /// with the engine's own pixels: a solid opaque pen of width 0 or 1, no antialiasing.
    static bool suits(const QPen& pen, const QPainter& painter);

    /// `pixels` is the image's first pixel and `stride` its row length in pixels; `device`
    /// is the image rectangle, `clip` the device pixels that may be written and `origin` the
    /// device position of logical (0, 0). `caps`: the pen's cap style is not flat.
    ThinLine(std::uint32_t* pixels, std::ptrdiff_t stride, const QRect& device, const QRect& clip,
             QPoint origin, std::uint32_t colour, bool caps);

    /// From now on, sets the bits of the drawn pixels in a plane of one bit per device pixel
    /// over `rect` (rows of `stride` words, bit j of a row for x = rect.left() + j) instead
    /// of writing the image. Pixels outside `rect` are not drawn.
    void intoBits(std::uint64_t* bits, std::ptrdiff_t stride, const QRect& rect);

    /// From now on, pixels outside `logical` need not be written: a segment is walked only
    /// where its major coordinate (x for a mostly horizontal one, else y) lies in the
    /// rectangle's range. Every pixel inside the rectangle is still written as without it.
    /// For a caller that knows the pixels outside are set already.
    void limitTo(const QRect& logical);
    /// Walks whole segments again.
    void unlimit() { limited_ = false; }

    /// Draws one polyline of whole-pixel logical points. A polyline whose
    /// first and last points coincide is drawn by the engine as a closed figure, which this
    /// class does not do: it returns false then and draws nothing.
    bool polyline(const QPoint* points, int count);

private:
    struct Pixel {
        int x, y;
    };
    bool segment(double x1, double y1, double x2, double y2, int caps);
    void segmentFixed(int x1, int y1, int x2, int y2, int caps);          // 26.6 fixed point
    [[gnu::always_inline]] void upright(int x, int y1, int y2, int caps); // whole pixels
    // Cuts the major range [as, ae) to the limit, moving the minor coordinate b (16.16, step
    // inc) along; false when nothing of it is left.
    [[gnu::always_inline]] bool limitRange(int& as, int& ae, int& b, int inc, bool vertical) const;
    bool clipSegment(double& x1, double& y1, double& x2, double& y2);
    // Upright segments in one pixel column, as a column of sorted data draws them one over
    // another (first, lowest, highest, last point), are gathered into one run of rows and
    // written once: every pixel here is the same opaque colour, so the order and number of
    // writes do not matter.
    [[gnu::always_inline]] void addRun(int x, int from, int to);
    void flushRun();

    std::uint32_t* pixels_;
    std::ptrdiff_t stride_;
    QRect clip_;
    double xmin_, xmax_, ymin_, ymax_; // rough bounds segments are cut to first
    QPoint origin_;
    std::uint32_t colour_;
    bool caps_;
    std::uint64_t* bits_ = nullptr;
    std::ptrdiff_t bitStride_ = 0;
    QPoint bitsAt_;
    Pixel lastPixel_{INT_MIN, INT_MIN};
    struct Run {
        bool open = false;
        int x = 0, from = 0, to = 0; // device pixels (x, from..to)
    } run_;
    bool limited_ = false;
    QRect limit_; // device pixels, when limited
    int lastDir_ = 0;
    bool lastAxisAligned_ = false;
};

} // namespace tellurix::lumenfold::plotting::detail
