#include "thin_line.h"

#include <QPainter>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace tellurix::lumenfold::plotting::detail {

namespace {

// Directions of the last segment drawn; a segment that turns back on itself gets a cap at the
// joint, as the engine does.
enum Direction {
    NoDirection = 0,
    TopToBottom = 0x1,
    BottomToTop = 0x2,
    LeftToRight = 0x4,
    RightToLeft = 0x8,
    VerticalMask = 0x3,
    HorizontalMask = 0xc
};

enum Caps { NoCaps = 0, CapBegin = 0x1, CapEnd = 0x2 };

int swapCaps(int caps) {
    return ((caps & CapBegin) << 1) | ((caps & CapEnd) >> 1);
}

// Coordinates are 26.6 fixed point, slopes 16.16.
int toFixed(double v) {
    return static_cast<int>(v * 64.0);
}

int slope16(int num, int den) {
    if (std::abs(num) > 0x7fff)
        return static_cast<int>(static_cast<long long>(num) * (1 << 16) / den);
    return num * (1 << 16) / den;
}

} // namespace

bool ThinLine::suits(const QPen& pen, const QPainter& painter) {
    const QBrush brush = pen.brush();
    return pen.style() == Qt::SolidLine && pen.widthF() <= 1.0 &&
           brush.style() == Qt::SolidPattern && brush.color().alpha() == 255 &&
           !painter.testRenderHint(QPainter::Antialiasing) &&
           !painter.testRenderHint(QPainter::Qt4CompatiblePainting);
}

ThinLine::ThinLine(std::uint32_t* pixels, std::ptrdiff_t stride, const QRect& device,
                   const QRect& clip, QPoint origin, std::uint32_t colour, bool caps)
    : pixels_(pixels)
    , stride_(stride)
    , clip_(clip & device)
    , xmin_(device.left() - 1)
    , xmax_(device.right() + 2)
    , ymin_(device.top() - 1)
    , ymax_(device.bottom() + 2)
    , origin_(origin)
    , colour_(colour)
    , caps_(caps) {}

void ThinLine::intoBits(std::uint64_t* bits, std::ptrdiff_t stride, const QRect& rect) {
    bits_ = bits;
    bitStride_ = stride;
    bitsAt_ = rect.topLeft();
    clip_ &= rect;
}

void ThinLine::limitTo(const QRect& logical) {
    limited_ = true;
    limit_ = logical.translated(origin_);
}

inline bool ThinLine::limitRange(int& as, int& ae, int& b, int inc, bool vertical) const {
    // A range the joint rules left empty still gets its one pixel: left as it is.
    if (!limited_ || ae <= as)
        return true;
    const int lo = vertical ? limit_.top() : limit_.left();
    const int hi = vertical ? limit_.bottom() : limit_.right();
    if (as < lo) {
        b += (std::min(lo, ae) - as) * inc;
        as = lo;
    }
    ae = std::min(ae, hi + 1);
    return as < ae;
}

bool ThinLine::polyline(const QPoint* points, int count) {
    if (count < 2)
        return true;
    if (points[0] == points[count - 1])
        return false;
    lastPixel_ = {INT_MIN, INT_MIN};
    lastDir_ = NoDirection;
    int caps = caps_ ? CapBegin : NoCaps;
    const int ox = origin_.x(), oy = origin_.y();
    // Whole-pixel points inside the image need no cutting and convert to fixed point exactly.
    auto inside = [this](int x, int y) {
        return x >= xmin_ && x <= xmax_ && y >= ymin_ && y <= ymax_;
    };
    int ax = points[0].x() + ox, ay = points[0].y() + oy;
    bool aIn = inside(ax, ay);
    for (int i = 1; i < count; ++i) {
        if (caps_ && i == count - 1)
            caps |= CapEnd;
        const int bx = points[i].x() + ox, by = points[i].y() + oy;
        const bool bIn = inside(bx, by);
        if (aIn && bIn) {
            if (ax == bx && ay == by)
                continue; // nothing to draw; the next segment starts where this one did
            if (ax == bx)
                upright(ax, ay, by, caps);
            else
                segmentFixed(ax * 64, ay * 64, bx * 64, by * 64, caps);
        } else if (!segment(ax, ay, bx, by, caps)) {
            continue; // too short to draw: the same
        }
        ax = bx;
        ay = by;
        aIn = bIn;
        caps = NoCaps;
    }
    flushRun();
    return true;
}

inline void ThinLine::addRun(int x, int from, int to) {
    if (run_.open && run_.x == x && from <= run_.to + 1 && to >= run_.from - 1) {
        run_.from = std::min(run_.from, from);
        run_.to = std::max(run_.to, to);
        return;
    }
    flushRun();
    run_ = Run{true, x, from, to};
}

void ThinLine::flushRun() {
    if (!run_.open)
        return;
    run_.open = false;
    const int x = run_.x;
    if (x < clip_.left() || x > clip_.right())
        return;
    const int from = std::max(run_.from, clip_.top()), to = std::min(run_.to, clip_.bottom());
    if (from > to)
        return;
    if (bits_ != nullptr) {
        const int cx = x - bitsAt_.x();
        const std::uint64_t mask = std::uint64_t{1} << (cx & 63);
        std::uint64_t* word = bits_ + (from - bitsAt_.y()) * bitStride_ + (cx >> 6);
        for (int y = from; y <= to; ++y, word += bitStride_)
            *word |= mask;
        return;
    }
    std::uint32_t* pixel = pixels_ + from * stride_ + x;
    for (int y = from; y <= to; ++y, pixel += stride_)
        *pixel = colour_;
}

bool ThinLine::clipSegment(double& x1, double& y1, double& x2, double& y2) {
    // Far points are brought to just outside the image in floating point, before the fixed
    // point arithmetic could overflow: first along x within [xmin, xmax], then along y.
    // Returns true when nothing of the segment is left.
    auto cut = [this](double& a1, double& b1, double& a2, double& b2, double lo, double hi) {
        if (a1 < lo) {
            if (a2 <= lo)
                return true;
            b1 += (b2 - b1) / (a2 - a1) * (lo - a1);
            a1 = lo;
        } else if (a1 > hi) {
            if (a2 >= hi)
                return true;
            b1 += (b2 - b1) / (a2 - a1) * (hi - a1);
            a1 = hi;
        }
        if (a2 < lo || a2 > hi) {
            // The end is moved: the next segment cannot join this one's last pixel.
            lastPixel_.x = INT_MIN;
            const double edge = a2 < lo ? lo : hi;
            b2 += (b2 - b1) / (a2 - a1) * (edge - a2);
            a2 = edge;
        }
        return false;
    };
    if (cut(x1, y1, x2, y2, xmin_, xmax_) || cut(y1, x1, y2, x2, ymin_, ymax_)) {
        lastPixel_.x = INT_MIN;
        return true;
    }
    return false;
}

bool ThinLine::segment(double rx1, double ry1, double rx2, double ry2, int caps) {
    const bool long_enough = std::abs(rx2 - rx1) + std::abs(ry2 - ry1) >= 1.0;
    if (clipSegment(rx1, ry1, rx2, ry2))
        return true;
    segmentFixed(toFixed(rx1), toFixed(ry1), toFixed(rx2), toFixed(ry2), caps);
    return long_enough;
}

inline void ThinLine::upright(int x, int y1, int y2, int caps) {
    // segmentFixed for whole-pixel ends in one pixel column (y1 != y2), with what cannot
    // apply left out: there is no slope, and a cap at either end moves it by half a pixel,
    // which moves the first pixel not at all and the last one by one. Sorted data draw most
    // of their segments so, up to four in every column.
    const bool swapped = y1 > y2;
    int dir = TopToBottom;
    if (swapped) {
        std::swap(y1, y2);
        caps = swapCaps(caps);
        dir = BottomToTop;
    }
    if ((lastDir_ ^ VerticalMask) == dir)
        caps |= swapped ? CapEnd : CapBegin;
    int as = y1;
    int ae = (caps & CapEnd) != 0 ? y2 + 1 : y2;
    Pixel first{x, as}, last{x, ae - 1};
    if (swapped)
        std::swap(first, last);
    if (lastPixel_.x > INT_MIN) {
        const int dx = std::abs(lastPixel_.x - first.x), dy = std::abs(lastPixel_.y - first.y);
        if (dx == 0 && dy == 0) {
            if (swapped)
                --ae;
            else
                ++as;
        } else if (lastDir_ != dir &&
                   ((lastAxisAligned_ && dx != 0 && dy != 0) || dx > 1 || dy > 1)) {
            if (swapped)
                ++ae;
            else
                --as;
        }
    }
    lastDir_ = dir;
    lastAxisAligned_ = true;
    int unused = 0;
    if (limitRange(as, ae, unused, 0, true))
        addRun(x, as, as + std::max(ae - as, 1) - 1);
    lastPixel_ = last;
}

void ThinLine::segmentFixed(int a1, int b1, int a2, int b2, int caps) {
    // Walked along the major axis one pixel at a time; the minor coordinate is 16.16.
    // Mostly vertical and mostly horizontal segments are the same walk with the axes
    // exchanged: `major`/`minor` name the coordinates of a pixel accordingly.
    const bool vertical = std::abs(a2 - a1) < std::abs(b2 - b1);
    if (vertical) {
        std::swap(a1, b1);
        std::swap(a2, b2);
    } else if (a1 == a2) {
        return; // a point: nothing drawn, and the next segment starts here
    }
    const int forward = vertical ? TopToBottom : LeftToRight;
    const int backward = vertical ? BottomToTop : RightToLeft;
    const int axisMask = vertical ? VerticalMask : HorizontalMask;

    Pixel last = lastPixel_;
    auto pixel = [vertical](int major, int minor) {
        return vertical ? Pixel{minor, major} : Pixel{major, minor};
    };

    int dir = forward;
    bool swapped = false;
    if (a1 > a2) {
        swapped = true;
        std::swap(a1, a2);
        std::swap(b1, b2);
        caps = swapCaps(caps);
        dir = backward;
    }
    const int inc = b2 == b1 ? 0 : slope16(b2 - b1, a2 - a1);
    int b = b1 * (1 << 10);
    if ((lastDir_ ^ axisMask) == dir)
        caps |= swapped ? CapEnd : CapBegin;
    if (caps & CapBegin) {
        a1 -= 32;
        b -= inc >> 1;
    }
    if (caps & CapEnd)
        a2 += 32;

    int as = (a1 + 32) >> 6;
    int ae = (a2 + 32) >> 6;
    if (as < ae) {
        // The minor coordinate at the centre of the first pixel; rising and falling slopes
        // round as the engine does.
        b += ((((a1 + 32) & ~63) + 32 - a1) * inc) >> 6;
        if (inc < 0)
            b -= inc >> 1;

        Pixel first = pixel(as, b >> 16);
        last = pixel(ae - 1, (b + (ae - as - 1) * inc) >> 16);
        if (swapped)
            std::swap(first, last);

        const bool axisAligned = std::abs(inc) < (1 << 14);
        if (lastPixel_.x > INT_MIN) {
            const int dx = std::abs(lastPixel_.x - first.x), dy = std::abs(lastPixel_.y - first.y);
            const int dMajor = vertical ? dy : dx, dMinor = vertical ? dx : dy;
            if (dx == 0 && dy == 0) {
                // The joint pixel was drawn by the previous segment.
                if (swapped) {
                    --ae;
                } else {
                    ++as;
                    b += inc;
                }
            } else if (lastDir_ != dir &&
                       ((axisAligned && lastAxisAligned_ && dx != 0 && dy != 0) || dx > 1 ||
                        dy > 1)) {
                // A gap at a turn: one more pixel closes it.
                if (swapped) {
                    ++ae;
                } else {
                    --as;
                    b -= inc;
                }
            } else if (lastDir_ == dir && dMinor <= 1 && dMajor > 1) {
                b += inc >> 1;
                const int lastMinor = swapped ? (b >> 16) : ((b + (ae - as - 1) * inc) >> 16);
                last = vertical ? Pixel{lastMinor, last.y} : Pixel{last.x, lastMinor};
            }
        }
        lastDir_ = dir;
        lastAxisAligned_ = axisAligned;
        if (!limitRange(as, ae, b, inc, vertical)) {
            lastPixel_ = last;
            return;
        }

        // At least one pixel, even where the joint rules above left an empty range.
        const int count = std::max(ae - as, 1);
        const int endMinor = (b + (count - 1) * inc) >> 16;
        const int lowMinor = std::min(b >> 16, endMinor), highMinor = std::max(b >> 16, endMinor);
        const int lastMajor = as + count - 1;
        if (vertical && inc == 0) {
            addRun(b >> 16, as, lastMajor);
            lastPixel_ = last;
            return;
        }
        const QRect whole = vertical ? QRect(QPoint(lowMinor, as), QPoint(highMinor, lastMajor))
                                     : QRect(QPoint(as, lowMinor), QPoint(lastMajor, highMinor));
        const bool uncut = whole.left() >= clip_.left() && whole.right() <= clip_.right() &&
                           whole.top() >= clip_.top() && whole.bottom() <= clip_.bottom();
        // Pixels are written through locals: a store through the image pointer could
        // otherwise be taken to change this object's members.
        auto walk = [&](auto&& set) {
            if (uncut) {
                // The common case, no pixel to cut: a straight walk.
                for (int k = count; k > 0; --k, ++as, b += inc)
                    vertical ? set(b >> 16, as) : set(as, b >> 16);
                return;
            }
            const QRect c = clip_;
            do {
                const int x = vertical ? b >> 16 : as, y = vertical ? as : b >> 16;
                if (x >= c.left() && x <= c.right() && y >= c.top() && y <= c.bottom())
                    set(x, y);
                b += inc;
            } while (++as < ae);
        };
        if (bits_ != nullptr) {
            std::uint64_t* const bits = bits_;
            const std::ptrdiff_t stride = bitStride_;
            const int left = bitsAt_.x(), top = bitsAt_.y();
            walk([=](int x, int y) {
                const int cx = x - left;
                bits[(y - top) * stride + (cx >> 6)] |= std::uint64_t{1} << (cx & 63);
            });
        } else {
            std::uint32_t* const pixels = pixels_;
            const std::ptrdiff_t stride = stride_;
            const std::uint32_t colour = colour_;
            walk([=](int x, int y) { pixels[y * stride + x] = colour; });
        }
    }
    lastPixel_ = last;
}

} // namespace tellurix::lumenfold::plotting::detail
