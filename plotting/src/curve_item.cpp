#include "curve_item.h"
#include "thin_line.h"

#include <qwt_clipper.h>
#include <qwt_scale_map.h>

#include <QPaintEngine>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
// Loops over every point have a second form for processors with AVX2, chosen at run time;
// the rest of the library keeps to the base instruction set.
#define LUMENFOLD_WIDE_LOOPS 1
#endif

namespace tellurix::lumenfold::plotting::detail {

namespace {

// Coordinates beyond this many pixels are pulled in before painting: the raster engine works
// in fixed point, and the change to what is visible is far below a pixel.
constexpr double kFar = 1.0e9;
// Beyond this distance from the canvas a polyline is clipped before painting.
constexpr double kClipMargin = 1.0e4;
// Points per polyline handed to QPainter at once for thin pens.
constexpr int kChunk = 4096;

// Same rounding as Qwt's point mapper (qRound: halves go up), without its int overflow for
// far points, and without a libm call per point. NaN lands on -kFar.
inline std::int64_t roundPixel(double v) {
    v += 0.5;
    v = v > -kFar ? v : -kFar;
    v = v < kFar ? v : kFar;
    const auto i = static_cast<std::int64_t>(v); // truncates towards zero
    return i - (static_cast<double>(i) > v ? 1 : 0);
}

// Source-over of a premultiplied pixel, with the raster engine's own integer arithmetic so
// that a stamped symbol matches one the engine would have drawn.
inline quint32 byteMul(quint32 x, quint32 a) {
    quint32 t = (x & 0xff00ffu) * a;
    t = (t + ((t >> 8) & 0xff00ffu) + 0x800080u) >> 8;
    t &= 0xff00ffu;
    x = ((x >> 8) & 0xff00ffu) * a;
    x = (x + ((x >> 8) & 0xff00ffu) + 0x800080u);
    x &= 0xff00ff00u;
    return x | t;
}

inline quint32 sourceOver(quint32 dst, quint32 src) {
    const quint32 alpha = src >> 24;
    if (alpha == 255)
        return src;
    return src + byteMul(dst, 255 - alpha);
}

// The image behind the painter, when symbols can be written straight into it: a raster
// engine on a 32-bit image, translation only, plain source-over at full opacity.
std::optional<DirectTarget> directTarget(QPainter* painter) {
    QPaintEngine* engine = painter->paintEngine();
    if (engine == nullptr || engine->type() != QPaintEngine::Raster)
        return std::nullopt;
    QPaintDevice* device = engine->paintDevice();
    if (device == nullptr || device->devType() != QInternal::Image)
        return std::nullopt;
    auto* image = static_cast<QImage*>(device);
    if (image->format() != QImage::Format_RGB32 &&
        image->format() != QImage::Format_ARGB32_Premultiplied)
        return std::nullopt;
    if (!image->isDetached() || image->devicePixelRatio() != 1.0)
        return std::nullopt;
    if (painter->compositionMode() != QPainter::CompositionMode_SourceOver ||
        painter->opacity() != 1.0)
        return std::nullopt;
    const QTransform t = painter->deviceTransform();
    if (t.type() > QTransform::TxTranslate || t.dx() != std::floor(t.dx()) ||
        t.dy() != std::floor(t.dy()))
        return std::nullopt;
    DirectTarget target;
    target.image = image;
    target.offset = QPoint(static_cast<int>(t.dx()), static_cast<int>(t.dy()));
    QRegion region(image->rect());
    const QRegion system = engine->systemClip();
    if (!system.isEmpty())
        region &= system;
    if (painter->hasClipping())
        region &= painter->clipRegion().translated(target.offset);
    if (region.rectCount() > 1)
        return std::nullopt;
    target.allowed = region.boundingRect();
    return target;
}

struct Summary {
    bool finite = true;                            // every coordinate is finite
    bool up = true;                                // x never decreases (NaN fails)
    bool down = true;                              // x never increases (NaN fails)
    double xmin = 0, xmax = 0, ymin = 0, ymax = 0; // meaningful when finite
};

// x - x is 0 for finite values and NaN otherwise.
inline bool finiteValue(double v) {
    return v - v == 0.0;
}

#if defined(LUMENFOLD_WIDE_LOOPS)
bool haveWide() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

// The two-point loop of summarise below, four points per step: for data held in the cache
// the pass is bound by its instructions, not by memory. Returns the first index left.
__attribute__((target("avx2"))) int summariseWide(const double* xs, const double* ys, int n,
                                                  Summary& s) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d ones = _mm256_cmp_pd(zero, zero, _CMP_EQ_OQ);
    __m256d fin = ones, up = ones, down = ones;
    __m256d xmn = _mm256_set1_pd(xs[0]), xmx = xmn, ymn = _mm256_set1_pd(ys[0]), ymx = ymn;
    int i = 1;
    for (; i + 4 <= n; i += 4) {
        const __m256d vx = _mm256_loadu_pd(xs + i);
        const __m256d vp = _mm256_loadu_pd(xs + i - 1);
        const __m256d vy = _mm256_loadu_pd(ys + i);
        up = _mm256_and_pd(up, _mm256_cmp_pd(vx, vp, _CMP_GE_OQ));
        down = _mm256_and_pd(down, _mm256_cmp_pd(vx, vp, _CMP_LE_OQ));
        fin = _mm256_and_pd(fin, _mm256_cmp_pd(_mm256_sub_pd(vx, vx), zero, _CMP_EQ_OQ));
        fin = _mm256_and_pd(fin, _mm256_cmp_pd(_mm256_sub_pd(vy, vy), zero, _CMP_EQ_OQ));
        xmn = _mm256_min_pd(xmn, vx);
        xmx = _mm256_max_pd(xmx, vx);
        ymn = _mm256_min_pd(ymn, vy);
        ymx = _mm256_max_pd(ymx, vy);
    }
    s.finite = s.finite && _mm256_movemask_pd(fin) == 15;
    s.up = _mm256_movemask_pd(up) == 15;
    s.down = _mm256_movemask_pd(down) == 15;
    alignas(32) double lanes[4][4];
    _mm256_store_pd(lanes[0], xmn);
    _mm256_store_pd(lanes[1], xmx);
    _mm256_store_pd(lanes[2], ymn);
    _mm256_store_pd(lanes[3], ymx);
    s.xmin = lanes[0][0];
    s.xmax = lanes[1][0];
    s.ymin = lanes[2][0];
    s.ymax = lanes[3][0];
    for (int k = 1; k < 4; ++k) {
        s.xmin = lanes[0][k] < s.xmin ? lanes[0][k] : s.xmin;
        s.xmax = lanes[1][k] > s.xmax ? lanes[1][k] : s.xmax;
        s.ymin = lanes[2][k] < s.ymin ? lanes[2][k] : s.ymin;
        s.ymax = lanes[3][k] > s.ymax ? lanes[3][k] : s.ymax;
    }
    return i;
}
#endif

Summary summarise(const double* xs, const double* ys, int n) {
    Summary s;
    s.xmin = s.xmax = xs[0];
    s.ymin = s.ymax = ys[0];
    s.finite = finiteValue(xs[0]) && finiteValue(ys[0]);
    int i = 1;
#if defined(LUMENFOLD_WIDE_LOOPS)
    if (n >= 5 && haveWide())
        i = summariseWide(xs, ys, n, s);
#endif
#if defined(__SSE2__)
    // Two points per step without a branch; NaN cannot slip into the bounds unnoticed,
    // since it also clears the finite mask, and then the bounds are not used.
    if (i == 1) {
        const __m128d zero = _mm_setzero_pd();
        const __m128d ones = _mm_cmpeq_pd(zero, zero);
        __m128d fin = ones, up = ones, down = ones;
        __m128d xmn = _mm_set1_pd(xs[0]), xmx = xmn, ymn = _mm_set1_pd(ys[0]), ymx = ymn;
        for (; i + 2 <= n; i += 2) {
            const __m128d vx = _mm_loadu_pd(xs + i);
            const __m128d vp = _mm_loadu_pd(xs + i - 1);
            const __m128d vy = _mm_loadu_pd(ys + i);
            up = _mm_and_pd(up, _mm_cmpge_pd(vx, vp));
            down = _mm_and_pd(down, _mm_cmple_pd(vx, vp));
            fin = _mm_and_pd(fin, _mm_cmpeq_pd(_mm_sub_pd(vx, vx), zero));
            fin = _mm_and_pd(fin, _mm_cmpeq_pd(_mm_sub_pd(vy, vy), zero));
            xmn = _mm_min_pd(xmn, vx);
            xmx = _mm_max_pd(xmx, vx);
            ymn = _mm_min_pd(ymn, vy);
            ymx = _mm_max_pd(ymx, vy);
        }
        s.finite = s.finite && _mm_movemask_pd(fin) == 3;
        s.up = _mm_movemask_pd(up) == 3;
        s.down = _mm_movemask_pd(down) == 3;
        double lanes[2];
        _mm_storeu_pd(lanes, xmn);
        s.xmin = std::min(lanes[0], lanes[1]);
        _mm_storeu_pd(lanes, xmx);
        s.xmax = std::max(lanes[0], lanes[1]);
        _mm_storeu_pd(lanes, ymn);
        s.ymin = std::min(lanes[0], lanes[1]);
        _mm_storeu_pd(lanes, ymx);
        s.ymax = std::max(lanes[0], lanes[1]);
    }
#endif
    for (; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        s.up = s.up && x >= xs[i - 1];
        s.down = s.down && x <= xs[i - 1];
        s.finite = s.finite && finiteValue(x) && finiteValue(y);
        s.xmin = x < s.xmin ? x : s.xmin;
        s.xmax = x > s.xmax ? x : s.xmax;
        s.ymin = y < s.ymin ? y : s.ymin;
        s.ymax = y > s.ymax ? y : s.ymax;
    }
    return s;
}

} // namespace

CurveItem::CurveItem(const plotting::CurveStyle& style)
    : style_(style) {
    setPen(style.pen);
    setStyle(style.pen.style() == Qt::NoPen ? QwtPlotCurve::NoCurve : QwtPlotCurve::Lines);
    const int size = static_cast<int>(std::lround(style.symbolSize));
    if (size > 0)
        setSymbol(new QwtSymbol(QwtSymbol::Ellipse, style.symbolBrush, style.symbolPen,
                                QSize(size, size)));
    setItemAttribute(QwtPlotItem::AutoScale, false);
    setItemAttribute(QwtPlotItem::Legend, false);
    setRawSamples(x_.constData(), y_.constData(), 0);
}

CurveItem::~CurveItem() = default;

CurveItem::Scratch& CurveItem::scratch() {
    thread_local Scratch shared;
    return shared;
}

void CurveItem::setValues(QVector<double> x, QVector<double> y) {
    x_ = std::move(x);
    y_ = std::move(y);
    // The raw samples point into our own vectors, which nobody else can write to: a caller
    // writing to its copy detaches its copy.
    setRawSamples(x_.constData(), y_.constData(), x_.size());
    bounds_ = {};
    order_ = {Order::Unknown, Order::Unknown};
    monotone_ = Order::Unknown;
    cached_ = false;
    finite_ = false;
    // One pass answers what every drawing and every fit asks first: whether X is monotonic
    // and, for finite data, the bounds on linear axes. The data are read from memory once.
    const int n = x_.size();
    if (n == 0)
        return;
    const Summary sum = summarise(x_.constData(), y_.constData(), n);
    monotone_ =
        (n == 1 ? x_[0] == x_[0] : sum.up || sum.down) ? Order::Monotonic : Order::Unordered;
    finite_ = sum.finite;
    if (sum.finite)
        bounds_[0] = std::optional<Bounds>(Bounds{sum.xmin, sum.xmax, sum.ymin, sum.ymax});
}

std::optional<Bounds> CurveItem::bounds(bool logX, bool logY) const {
    auto& slot = bounds_[(logX ? 1 : 0) + (logY ? 2 : 0)];
    if (!slot) {
        std::optional<Bounds> b;
        const double* xs = x_.constData();
        const double* ys = y_.constData();
        const int n = x_.size();
        for (int i = 0; i < n; ++i) {
            const double x = xs[i], y = ys[i];
            if (!usable(x, y, logX, logY))
                continue;
            if (!b) {
                b = Bounds{x, x, y, y};
                continue;
            }
            b->xmin = std::min(b->xmin, x);
            b->xmax = std::max(b->xmax, x);
            b->ymin = std::min(b->ymin, y);
            b->ymax = std::max(b->ymax, y);
        }
        slot = b;
    }
    return *slot;
}

std::optional<double> CurveItem::newestX(bool logX, bool logY) const {
    for (int i = x_.size() - 1; i >= 0; --i)
        if (usable(x_[i], y_[i], logX, logY))
            return x_[i];
    return std::nullopt;
}

QRectF CurveItem::boundingRect() const {
    const auto b = bounds(false, false);
    if (!b)
        return QRectF(1.0, 1.0, -2.0, -2.0); // Qwt's "invalid" rectangle
    return QRectF(QPointF(b->xmin, b->ymin), QPointF(b->xmax, b->ymax));
}

void CurveItem::drawSeries(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                           const QRectF& canvasRect, int from, int to) const {
    // Qwt asks for the whole series (to = -1); this item always draws all of it.
    (void)from;
    (void)to;
    if (x_.isEmpty())
        return;
    const bool logX = xMap.transformation() != nullptr;
    const bool logY = yMap.transformation() != nullptr;
    if (fast_)
        drawFast(painter, xMap, yMap, canvasRect, logX, logY);
    else
        drawReference(painter, xMap, yMap, canvasRect, logX, logY);
}

void CurveItem::drawReference(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                              const QRectF& canvasRect, bool logX, bool logY) const {
    // Qwt draws whatever it is given; unusable points must not reach it, so each run of
    // usable points is handed over on its own.
    const int n = x_.size();
    int i = 0;
    while (i < n) {
        while (i < n && !usable(x_[i], y_[i], logX, logY))
            ++i;
        int j = i;
        while (j < n && usable(x_[j], y_[j], logX, logY))
            ++j;
        if (j > i)
            QwtPlotCurve::drawSeries(painter, xMap, yMap, canvasRect, i, j - 1);
        i = j;
    }
}

// ---------------------------------------------------------------------------------------------
// Bit planes: one bit per pixel over a rectangle of logical pixels.

void CurveItem::Plane::reset(const QRect& r, int rowWords, std::vector<std::uint64_t>& storage) {
    rect = r;
    stride = rowWords;
    bits = &storage;
    bits->assign(static_cast<size_t>(stride) * static_cast<size_t>(std::max(0, r.height())), 0);
}

namespace {

// out = in moved by s bit positions towards higher x (s > 0) or lower x (s < 0).
void shiftRow(const std::uint64_t* in, std::uint64_t* out, int n, int s) {
    const int ws = std::abs(s) >> 6, bs = std::abs(s) & 63;
    for (int k = 0; k < n; ++k) {
        std::uint64_t v = 0;
        if (s >= 0) {
            const int a = k - ws;
            if (a >= 0)
                v = in[a] << bs;
            if (bs != 0 && a - 1 >= 0)
                v |= in[a - 1] >> (64 - bs);
        } else {
            const int a = k + ws;
            if (a < n)
                v = in[a] >> bs;
            if (bs != 0 && a + 1 < n)
                v |= in[a + 1] << (64 - bs);
        }
        out[k] = v;
    }
}

// Pixels a pen of this width can touch lie within this many pixels (in x and in y) of the
// segment between two whole-pixel points; thin pens go one pixel astray at most.
int penReach(double width) {
    if (width <= 1.0)
        return 1;
    return static_cast<int>(std::ceil(width / 2.0)) + 1;
}

constexpr size_t kDeepWorthwhile = 100000;              // segments the cheap test leaves
constexpr int kUnionWorthwhile = 50000;                 // points of a curve
constexpr int kBreak = std::numeric_limits<int>::min(); // marks a gap between lines in verts_

} // namespace

bool CurveItem::DrawKey::operator==(const DrawKey& o) const {
    return maps == o.maps && canvas == o.canvas && area == o.area && allowed == o.allowed &&
           image == o.image && stamp == o.stamp && logX == o.logX && logY == o.logY &&
           direct == o.direct && target == o.target;
}

void CurveItem::drawFast(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                         const QRectF& canvasRect, bool logX, bool logY) const {
    const bool lines = style_.pen.style() != Qt::NoPen;
    const bool symbols = symbol() != nullptr && symbol()->style() != QwtSymbol::NoSymbol &&
                         !symbol()->boundingRect().isEmpty();

    // As Qwt does: only symbols whose centre pixel lies in the visible canvas are drawn.
    QRect area;
    if (symbols) {
        QRectF clipRect = canvasRect;
        if (painter->hasClipping())
            clipRect &= painter->clipBoundingRect();
        area = clipRect.toAlignedRect();
        prepareStamp(painter);
    }
    const bool marking = symbols && !area.isEmpty();
    const std::optional<DirectTarget> target =
        marking || lines ? directTarget(painter) : std::nullopt;
    // With a one-colour opaque symbol on an image we can write to, the symbols' union is known
    // before anything is drawn: it is painted in one go, and line pieces it will cover
    // entirely are not drawn at all.
    // Building that union costs a fixed amount of plane work per curve, whatever the number of
    // points; for few points stamping each symbol straight onto the line costs less.
    const bool union_ = marking && target && stampColour_ != 0 && x_.size() >= kUnionWorthwhile;

    // Everything the drawn form depends on besides the data, which clears the cache itself.
    DrawKey key;
    key.maps = {xMap.s1(), xMap.s2(), xMap.p1(), xMap.p2(),
                yMap.s1(), yMap.s2(), yMap.p1(), yMap.p2()};
    key.canvas = canvasRect;
    key.area = marking ? area : QRect();
    key.allowed = target ? target->allowed.translated(-target->offset) : QRect();
    key.stamp = symbols ? stampKey_ : 0;
    key.logX = logX;
    key.logY = logY;
    key.direct = union_;
    key.target = target.has_value();
    key.image = target ? target->image->size() : QSize();
    if (!cached_ || !(key == key_)) {
        cached_ = false;
        build(xMap, yMap, canvasRect, logX, logY, lines, marking, area, key.allowed, union_,
              target ? &*target : nullptr, ThinLine::suits(style_.pen, *painter));
        key_ = key;
        cached_ = true;
        repeated_ = false;
        layer_ = Layer::None;
    } else if (!repeated_) {
        repeated_ = true;
    }

    if (lines) {
        if (target && ThinLine::suits(style_.pen, *painter)) {
            // The common pen: its pixels are written straight into the image.
            drawThin(painter, *target);
        } else {
            // A curve drawn a second time alike is likely to be drawn so again and again
            // (other curves of the plot are changing): its line pixels are kept as a plane
            // of their own.
            if (repeated_ && target && layer_ == Layer::None)
                layer_ = makeLayer(painter, *target, canvasRect) ? Layer::Ready : Layer::Refused;
            if (layer_ == Layer::Ready) {
                paintPlane(*target, layerPlane_, layerColour_);
            } else {
                painter->save();
                painter->setPen(style_.pen);
                drawVertices(painter, canvasRect);
                painter->restore();
            }
        }
    }
    if (marking) {
        if (union_)
            paintPlane(*target, plane_, stampColour_);
        else
            stampSymbols(painter, plane_, target ? &*target : nullptr);
    }
}

void CurveItem::build(const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                      bool logX, bool logY, bool lines, bool marking, const QRect& area,
                      const QRect& allowed, bool union_, const DirectTarget* target,
                      bool thinPen) const {
    // Every plane spans the symbols' full reach around the marked area.
    const QRect reach =
        marking ? QRect(area.topLeft() + stampOffset_, QSize(area.width() + stamp_.width() - 1,
                                                             area.height() + stamp_.height() - 1))
                : QRect();
    const int rowWords = marking ? (reach.width() + 63) / 64 + 1 : 0;
    // The plane kept for painting: the marks themselves, or their union when it is painted
    // in one go (the marks are then only a step on the way).
    std::vector<std::uint64_t>& markStore = union_ ? marks_ : planeBits_;
    Plane marks;
    if (marking)
        marks.reset(area, rowWords, markStore);

    // One pass over the data finds the line's vertices and the symbols' pixels.
    verts_.clear();
    if (lines) {
        const int key = logX ? 1 : 0;
        bool done = false;
        if (monotoneX()) {
            collectMonotone(xMap, yMap, canvasRect, logX, logY, marking ? &marks : nullptr);
            done = true;
        } else if (order_[key] != Order::Unordered) {
            done = collectSorted(xMap, yMap, canvasRect, logX, logY, marking ? &marks : nullptr);
            order_[key] = done ? Order::Monotonic : Order::Unordered;
            if (!done) {
                verts_.clear();
                if (marking)
                    marks.reset(area, rowWords, markStore);
            }
        }
        if (!done)
            collectUnsorted(xMap, yMap, canvasRect, logX, logY, marking ? &marks : nullptr);
    } else if (marking) {
        markSymbols(xMap, yMap, logX, logY, marks);
    }

    // Segments up to this long between two symbols are covered by them (see below).
    const int penOut = style_.pen.widthF() <= 1.0 ? 0 : penReach(style_.pen.widthF());
    const int shortest = marking && target ? 2 * (stampSquare_ - penOut) + 1 : -1;

    // The vertices kept for painting, with a break wherever a segment lies wholly under the
    // symbols: every pixel the pen could touch there gets painted over anyway.
    // Two tests, the cheap one first. Each pixel of a segment of Chebyshev length L lies
    // within floor(L / 2) pixels of one of its ends (the walk never strays from the box of
    // its ends): with an opaque square of radius r in every symbol, a short segment between
    // two symbols' centres is covered. Where the symbols' union is known, a segment that
    // runs wholly through its deep inside is covered too; that test costs plane work per
    // curve, and pays only where many segments are left after the first.
    plane_ = Plane{};
    if (union_) {
        plane_.reset(reach, rowWords, planeBits_);
        buildCover(marks, allowed, plane_);
    } else if (marking) {
        plane_ = marks;
    }
    // Filtered from one scratch buffer into the other; the result is copied into the curve's
    // own drawn form, since the scratch buffers are sized for all the points and a curve
    // keeping one would cost more memory than its data.
    const QPoint* result = verts_.data();
    size_t resultSize = verts_.size();
    size_t left = 0; // segments still to draw
    if (shortest < 1) {
        left = union_ && lines ? segmentCount(verts_) : 0;
    } else {
        const auto [written, segments] = keepFarRuns(verts_, kept_, area, shortest);
        result = kept_.data();
        resultSize = written;
        left = segments;
    }
    if (union_ && lines && left > kDeepWorthwhile) {
        Plane deep;
        deep.reset(reach, rowWords, deep_);
        buildDeep(plane_, penReach(style_.pen.widthF()) + 1, deep);
        auto deepInside = [&deep](const QPoint& a, bool aDeep, const QPoint& b, bool bDeep) {
            if (!aDeep || !bDeep)
                return false;
            const int dx = b.x() - a.x(), dy = b.y() - a.y();
            const int steps = std::max(std::abs(dx), std::abs(dy));
            // Nearest pixels along the segment, stepping without a division per pixel.
            const double sx = steps == 0 ? 0.0 : static_cast<double>(dx) / steps;
            const double sy = steps == 0 ? 0.0 : static_cast<double>(dy) / steps;
            double fx = a.x() + 0.5, fy = a.y() + 0.5;
            for (int i = 1; i < steps; ++i) {
                fx += sx;
                fy += sy;
                int x = static_cast<int>(fx), y = static_cast<int>(fy);
                x -= x > fx ? 1 : 0; // floor for negative values too
                y -= y > fy ? 1 : 0;
                if (!deep.test(x, y))
                    return false;
            }
            return true;
        };
        std::vector<QPoint>& out = result == verts_.data() ? kept_ : verts_;
        if (&out == &kept_) {
            kept_.clear();
        } else {
            // The kept runs are read from kept_ while verts_ takes what the deep test keeps.
            verts_.clear();
        }
        keepRuns(result, resultSize, out, deepInside,
                 [&deep](const QPoint& p) { return deep.test(p.x(), p.y()); });
        result = out.data();
        resultSize = out.size();
    }
    // A thin line in the symbols' own colour joins their union: its pixels become bits of the
    // plane painted in one go. Only a run the line writer leaves to the engine (a closed
    // one) is kept to be drawn as a line.
    if (union_ && lines && thinPen && style_.pen.color().rgba() == stampColour_ &&
        plane_.rect.contains(allowed)) {
        ThinLine thin = thinLine(*target);
        thin.intoBits(plane_.row(0), plane_.stride, plane_.rect.translated(target->offset));
        drawn_.clear();
        forEachRun(result, resultSize, [&](const QPoint* run, int count) {
            if (!thin.polyline(run, count)) {
                drawn_.push_back(QPoint(kBreak, kBreak));
                drawn_.insert(drawn_.end(), run, run + count);
            }
        });
        return;
    }
    drawn_.assign(result, result + resultSize);
}

std::pair<size_t, size_t> CurveItem::keepFarRuns(const std::vector<QPoint>& in,
                                                 std::vector<QPoint>& out, const QRect& area,
                                                 int shortest) {
    // keepRuns for the cheap test, without branches on the data: whether a segment is kept
    // flips back and forth along a noisy curve, which a branch predictor cannot follow. Every
    // vertex is written and the write position moves on only for what is kept, so `out` is
    // sized for the worst case (it is scratch, only ever grown). Returns the number of
    // points written and of segments kept.
    // A vertex that opens a run writes three points, and the one before it wrote none (it
    // ended a covered segment, or was a break): at most three points per two entries.
    const size_t room = in.size() + in.size() / 2 + 4;
    if (out.size() < room)
        out.resize(room);
    QPoint* o = out.data();
    const int l = area.left(), t = area.top();
    const auto w = static_cast<unsigned>(area.width() - 1);
    const auto h = static_cast<unsigned>(area.height() - 1);
    size_t j = 0, kept = 0;
    bool have = false, open = false, lastIn = false;
    QPoint last;
    for (const QPoint& v : in) {
        if (v.x() == kBreak) {
            have = open = false;
            continue;
        }
        const bool vIn =
            static_cast<unsigned>(v.x() - l) <= w && static_cast<unsigned>(v.y() - t) <= h;
        const int reach = std::max(std::abs(v.x() - last.x()), std::abs(v.y() - last.y()));
        // Plain integer arithmetic: the compiler would turn conditional forms into branches.
        const unsigned covered = static_cast<unsigned>(lastIn) & static_cast<unsigned>(vIn) &
                                 static_cast<unsigned>(reach <= shortest);
        const unsigned drawn = static_cast<unsigned>(have) & (covered ^ 1u);
        const unsigned start = drawn & (static_cast<unsigned>(open) ^ 1u);
        o[j] = QPoint(kBreak, kBreak);
        o[j + 1] = last;
        j += static_cast<size_t>(start) << 1;
        o[j] = v;
        j += static_cast<size_t>(drawn);
        kept += static_cast<size_t>(drawn);
        open = drawn != 0;
        last = v;
        lastIn = vIn;
        have = true;
    }
    return {j, kept};
}

template <typename Covered, typename Flag>
size_t CurveItem::keepRuns(const QPoint* in, size_t count, std::vector<QPoint>& out,
                           Covered&& covered, Flag&& flag) {
    // Runs of drawn segments only: a covered segment ends the run, and a lone vertex between
    // two covered segments is left out. `flag` is worked out once per vertex. Returns the
    // number of segments kept.
    size_t kept = 0;
    bool haveLast = false, open = false, lastFlag = false;
    QPoint last;
    for (const QPoint* at = in; at != in + count; ++at) {
        const QPoint& v = *at;
        if (v.x() == kBreak) {
            haveLast = open = false;
            continue;
        }
        const bool vFlag = flag(v);
        if (haveLast) {
            if (covered(last, lastFlag, v, vFlag)) {
                open = false;
            } else {
                if (!open) {
                    out.push_back(QPoint(kBreak, kBreak));
                    out.push_back(last);
                    open = true;
                }
                out.push_back(v);
                ++kept;
            }
        }
        last = v;
        lastFlag = vFlag;
        haveLast = true;
    }
    return kept;
}

size_t CurveItem::segmentCount(const std::vector<QPoint>& vertices) {
    size_t count = 0;
    for (size_t k = 1; k < vertices.size(); ++k)
        count += vertices[k - 1].x() != kBreak && vertices[k].x() != kBreak ? 1 : 0;
    return count;
}

void CurveItem::flushPolyline(QPainter* painter, const QRectF& clipRect) const {
    if (line_.size() < 2) {
        line_.clear();
        return;
    }
    const double left = clipRect.left() - kClipMargin, right = clipRect.right() + kClipMargin;
    const double top = clipRect.top() - kClipMargin, bottom = clipRect.bottom() + kClipMargin;
    bool far = false;
    for (const QPointF& p : qAsConst(line_))
        if (!(p.x() >= left && p.x() <= right && p.y() >= top && p.y() <= bottom)) {
            far = true;
            break;
        }
    if (far)
        line_ = QwtClipper::clipPolygonF(clipRect, line_);
    painter->drawPolyline(line_.constData(), line_.size());
    line_.clear();
}

void CurveItem::drawVertices(QPainter* painter, const QRectF& canvasRect) const {
    const double pw = std::max(1.0, style_.pen.widthF());
    const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
    // The raster engine strokes wide pens far faster in short pieces than in one long path.
    const int chunk = style_.pen.widthF() > 1.0 ? 64 : kChunk;

    line_.clear();
    for (const QPoint& v : drawn_) {
        if (v.x() == kBreak) {
            flushPolyline(painter, clipRect);
            continue;
        }
        const QPointF p(v);
        line_.append(p);
        if (line_.size() >= chunk) {
            flushPolyline(painter, clipRect);
            line_.append(p);
        }
    }
    flushPolyline(painter, clipRect);
}

ThinLine CurveItem::thinLine(const DirectTarget& target) const {
    QImage& image = *target.image;
    return ThinLine(reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4,
                    image.rect(), target.allowed, target.offset, style_.pen.color().rgba(),
                    style_.pen.capStyle() != Qt::FlatCap);
}

template <typename Visit> void CurveItem::forEachRun(const QPoint* v, size_t size, Visit&& visit) {
    const QPoint* end = v + size;
    while (v != end) {
        if (v->x() == kBreak) {
            ++v;
            continue;
        }
        const QPoint* stop = v;
        while (stop != end && stop->x() != kBreak)
            ++stop;
        visit(v, static_cast<int>(stop - v));
        v = stop;
    }
}

void CurveItem::drawThin(QPainter* painter, const DirectTarget& target) const {
    ThinLine thin = thinLine(target);
    forEachRun(drawn_.data(), drawn_.size(), [&](const QPoint* run, int count) {
        if (thin.polyline(run, count))
            return;
        // A run that ends where it starts is drawn as a closed figure by the engine.
        QPolygonF points;
        points.reserve(count);
        for (const QPoint* p = run; p != run + count; ++p)
            points.append(QPointF(*p));
        painter->save();
        painter->setPen(style_.pen);
        painter->drawPolyline(points);
        painter->restore();
    });
}

bool CurveItem::collectSorted(const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                              const QRectF& canvasRect, bool logX, bool logY, Plane* marks) const {
    // Per pixel column, the first, lowest, highest and last point (in record order) draw the
    // same pixels as every point of that column would. Columns far off either side of the
    // canvas fold into one, since nothing between their points is visible.
    const double pw = std::max(1.0, style_.pen.widthF());
    const auto leftCol = static_cast<std::int64_t>(std::floor(canvasRect.left() - pw - 2.0));
    const auto rightCol = static_cast<std::int64_t>(std::ceil(canvasRect.right() + pw + 2.0));

    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();

    int direction = 0;
    double prevX = 0.0;
    bool havePrev = false;

    struct Pixel {
        std::int64_t x, y;
    };
    bool open = false;
    std::int64_t col = 0;
    Pixel first{}, low{}, high{}, last{};
    int lowAt = 0, highAt = 0;

    auto push = [&](const Pixel& p) {
        const QPoint q(static_cast<int>(p.x), static_cast<int>(p.y));
        if (verts_.empty() || verts_.back() != q)
            verts_.push_back(q);
    };
    auto closeColumn = [&]() {
        if (!open)
            return;
        push(first);
        if (lowAt <= highAt) {
            push(low);
            push(high);
        } else {
            push(high);
            push(low);
        }
        push(last);
        open = false;
    };

    for (int i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        if (!usable(x, y, logX, logY)) {
            closeColumn();
            verts_.push_back(QPoint(kBreak, kBreak));
            continue;
        }
        if (havePrev) {
            if (x > prevX) {
                if (direction < 0)
                    return false;
                direction = 1;
            } else if (x < prevX) {
                if (direction > 0)
                    return false;
                direction = -1;
            }
        }
        prevX = x;
        havePrev = true;

        const Pixel p{roundPixel(xMap.transform(x)), roundPixel(yMap.transform(y))};
        if (marks)
            marks->setIn(p.x, p.y);
        const std::int64_t c = std::clamp(p.x, leftCol, rightCol);
        if (!open || c != col) {
            closeColumn();
            open = true;
            col = c;
            first = low = high = last = p;
            lowAt = highAt = i;
            continue;
        }
        if (p.y < low.y) {
            low = p;
            lowAt = i;
        }
        if (p.y > high.y) {
            high = p;
            highAt = i;
        }
        last = p;
    }
    closeColumn();
    return true;
}

bool CurveItem::monotoneX() const {
    if (monotone_ == Order::Unknown) {
        const double* xs = x_.constData();
        const int n = x_.size();
        bool up = true, down = true;
        for (int i = 1; i < n; ++i) {
            up &= xs[i] >= xs[i - 1]; // NaN fails both
            down &= xs[i] <= xs[i - 1];
        }
        if (n == 1)
            up = xs[0] == xs[0];
        monotone_ = (up || down) ? Order::Monotonic : Order::Unordered;
    }
    return monotone_ == Order::Monotonic;
}

namespace {

// The first index after `from` whose pixel column is not `c` (the column of `from`), or n.
// Columns never go back, so neighbouring columns are found by search. The search looks
// first where `guess` says (the last column's count of points usually fits the next one as
// well) and gallops from there: with evenly spread X a column costs two neighbouring reads
// of X, instead of a read far away in memory at every step of a search from the start.
template <typename Column>
int columnEnd(const Column& column, std::int64_t c, int from, int n, std::int64_t guess) {
    std::int64_t lo = from; // known to lie in the column
    std::int64_t hi = n;    // known to lie past it (or the end)
    const std::int64_t probe = std::clamp<std::int64_t>(guess, from + 1, n) - 1;
    if (probe > lo) {
        if (column(static_cast<int>(probe)) == c) {
            lo = probe;
        } else {
            hi = probe;
            for (std::int64_t step = 1; hi - step > lo; step *= 2) {
                const std::int64_t q = hi - step;
                if (column(static_cast<int>(q)) == c) {
                    lo = q;
                    break;
                }
                hi = q;
            }
        }
    }
    if (hi == n) {
        for (std::int64_t step = 1; lo + step < n; step *= 2) {
            const std::int64_t q = lo + step;
            if (column(static_cast<int>(q)) != c) {
                hi = q;
                break;
            }
            lo = q;
        }
    }
    while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (column(static_cast<int>(mid)) == c)
            lo = mid;
        else
            hi = mid;
    }
    return static_cast<int>(hi);
}

// The marks of one pixel column, one byte per plane row. They stay in the first-level cache
// while the column's points are walked, whereas the plane is row-major and each of its rows a
// cache line of its own: the plane then gets one store per distinct row of the column instead
// of one per point. A byte store per point, not a bit set in a word, so that points on
// neighbouring rows do not wait for each other's read-modify-write of the same word. One
// spare byte past the rows takes the points off the plane, so that marking needs no branch.
class ColumnRows {
public:
    void start(int height) {
        rows_ = static_cast<std::uint64_t>(std::max(0, height));
        thread_local std::vector<std::uint8_t> storage;
        storage.assign(static_cast<std::size_t>(rows_) + 8, 0);
        flags_ = storage.data();
    }
    std::uint8_t* flags() const { return flags_; }
    std::uint64_t rows() const { return rows_; }
    /// Marks row r of the plane, or the spare byte when r lies off the plane (as unsigned).
    static void set(std::uint8_t* flags, std::uint64_t rows, std::uint64_t r) {
        flags[r < rows ? r : rows] = 1;
    }
    /// ORs `mask` into the plane word `column` (a word of row 0) of every marked row between
    /// pixel rows `low` and `high` (relative to the plane's top), and clears the marks.
    void flush(std::int64_t low, std::int64_t high, std::uint64_t* column, std::size_t stride,
               std::uint64_t mask) {
        flags_[rows_] = 0;
        const std::int64_t from = std::max<std::int64_t>(low, 0);
        const std::int64_t to = std::min<std::int64_t>(high + 1, static_cast<std::int64_t>(rows_));
        // Eight flags at a time (the storage has room past the last row): which rows are
        // marked is as good as random, and a branch per row would mostly guess wrong.
        for (std::int64_t r = from; r < to; r += 8) {
            std::uint64_t w;
            std::memcpy(&w, flags_ + r, sizeof w);
            if (w == 0)
                continue;
            std::memset(flags_ + r, 0, sizeof w);
            do {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                const int j = __builtin_clzll(w) >> 3;
                w &= ~(std::uint64_t{1} << (63 - __builtin_clzll(w)));
#else
                const int j = __builtin_ctzll(w) >> 3;
                w &= w - 1;
#endif
                if (r + j < to)
                    column[static_cast<std::size_t>(r + j) * stride] |= mask;
            } while (w != 0);
        }
    }

private:
    std::uint8_t* flags_ = nullptr;
    std::uint64_t rows_ = 0;
};

// What one pixel column of finite points keeps: its first, lowest, highest and last pixel row
// (the first point of each extreme in record order), and the plane rows its points mark.
struct ColumnScan {
    int firstY, lowY, lowAt, highY, highAt, lastY;
};

#if defined(LUMENFOLD_WIDE_LOOPS)
// Four points per step on processors with AVX2. The same arithmetic as point by point, in the same
// order, so the rows are the very same: p1 + (y - s1) * cnv, + 0.5, pulled in to +-kFar,
// floor. Returns the first index left for the point-by-point loop.
template <bool Marking>
__attribute__((target("avx2"))) int scanColumnWide(const double* ys, int k, int end,
                                                   const LinearMap& map, std::uint8_t* flags,
                                                   int top, int rows, ColumnScan& s) {
    const __m256d p1 = _mm256_set1_pd(map.p1), s1 = _mm256_set1_pd(map.s1);
    const __m256d cnv = _mm256_set1_pd(map.cnv), half = _mm256_set1_pd(0.5);
    const __m256d nearLow = _mm256_set1_pd(-kFar), nearHigh = _mm256_set1_pd(kFar);
    const __m128i topV = _mm_set1_epi32(top), rowsV = _mm_set1_epi32(rows);
    const __m128i four = _mm_set1_epi32(4);
    __m128i at = _mm_setr_epi32(k, k + 1, k + 2, k + 3);
    __m128i lowV = _mm_set1_epi32(s.lowY), highV = lowV;
    __m128i lowAt = _mm_set1_epi32(s.lowAt), highAt = lowAt;
    alignas(16) int r[4];
    for (; k + 4 <= end; k += 4) {
        __m256d v =
            _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(ys + k), s1), cnv), p1);
        v = _mm256_add_pd(v, half);
        v = _mm256_min_pd(_mm256_max_pd(v, nearLow), nearHigh);
        // Floor, then truncation of a whole number: what roundPixel's truncate-and-correct
        // gives for every value within +-kFar.
        const __m128i f =
            _mm256_cvttpd_epi32(_mm256_round_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
        if constexpr (Marking) {
            // Rows off the plane (negative ones too, taken as unsigned) go to the spare flag.
            _mm_store_si128(reinterpret_cast<__m128i*>(r),
                            _mm_min_epu32(_mm_sub_epi32(f, topV), rowsV));
            flags[r[0]] = 1;
            flags[r[1]] = 1;
            flags[r[2]] = 1;
            flags[r[3]] = 1;
        }
        const __m128i below = _mm_cmplt_epi32(f, lowV);
        lowV = _mm_blendv_epi8(lowV, f, below);
        lowAt = _mm_blendv_epi8(lowAt, at, below);
        const __m128i above = _mm_cmpgt_epi32(f, highV);
        highV = _mm_blendv_epi8(highV, f, above);
        highAt = _mm_blendv_epi8(highAt, at, above);
        at = _mm_add_epi32(at, four);
    }
    // The lanes together: the lower (higher) row, or on a tie the earlier point.
    alignas(16) int lv[4], la[4], hv[4], ha[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lv), lowV);
    _mm_store_si128(reinterpret_cast<__m128i*>(la), lowAt);
    _mm_store_si128(reinterpret_cast<__m128i*>(hv), highV);
    _mm_store_si128(reinterpret_cast<__m128i*>(ha), highAt);
    for (int lane = 0; lane < 4; ++lane) {
        if (lv[lane] < s.lowY || (lv[lane] == s.lowY && la[lane] < s.lowAt)) {
            s.lowY = lv[lane];
            s.lowAt = la[lane];
        }
        if (hv[lane] > s.highY || (hv[lane] == s.highY && ha[lane] < s.highAt)) {
            s.highY = hv[lane];
            s.highAt = ha[lane];
        }
    }
    return k;
}
#endif

// Maps Y as `map` does and rounds as roundPixel does, so that the rows are the very same as
// point by point; with `Marking`, flags the rows (relative to `top`, off the plane to the
// spare flag).
template <bool Marking>
ColumnScan scanColumn(const double* ys, int from, int end, const LinearMap& map,
                      std::uint8_t* flags, std::int64_t top, std::uint64_t rows) {
    auto pixel = [&map](double y) { return static_cast<int>(roundPixel(map(y))); };
    auto mark = [&](int py) {
        if constexpr (Marking)
            ColumnRows::set(flags, rows, static_cast<std::uint64_t>(py - top));
    };
    ColumnScan s{};
    s.firstY = s.lowY = s.highY = pixel(ys[from]);
    s.lowAt = s.highAt = from;
    mark(s.firstY);
    int k = from + 1;
#if defined(LUMENFOLD_WIDE_LOOPS)
    // Rows relative to the plane must not overflow 32 bits: Y is within +-kFar already.
    constexpr std::int64_t kRoom = std::int64_t{1} << 30;
    if (end - k >= 8 && top > -kRoom && top < kRoom && rows < static_cast<std::uint64_t>(kRoom) &&
        haveWide())
        k = scanColumnWide<Marking>(ys, k, end, map, flags, static_cast<int>(top),
                                    static_cast<int>(rows), s);
#endif
    for (; k < end; ++k) {
        const int py = pixel(ys[k]);
        mark(py);
        const bool below = py < s.lowY;
        const bool above = py > s.highY;
        s.lowAt = below ? k : s.lowAt;
        s.lowY = below ? py : s.lowY;
        s.highAt = above ? k : s.highAt;
        s.highY = above ? py : s.highY;
    }
    s.lastY = end - from > 1 ? pixel(ys[end - 1]) : s.firstY;
    return s;
}

} // namespace

void CurveItem::collectMonotone(const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                                const QRectF& canvasRect, bool logX, bool logY,
                                Plane* marks) const {
    // X never goes back (nor holds a NaN), so the pixel column of a point never goes back
    // either: each column's points are found by search, and only their Y values are mapped
    // one by one. Columns far off either side of the canvas fold into one.
    const double pw = std::max(1.0, style_.pen.widthF());
    const auto leftCol = static_cast<std::int64_t>(std::floor(canvasRect.left() - pw - 2.0));
    const auto rightCol = static_cast<std::int64_t>(std::ceil(canvasRect.right() + pw + 2.0));
    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();
    auto column = [&](int k) {
        return std::clamp(roundPixel(xMap.transform(xs[k])), leftCol, rightCol);
    };
    auto push = [&](std::int64_t x, std::int64_t y) {
        const QPoint q(static_cast<int>(x), static_cast<int>(y));
        if (verts_.empty() || verts_.back() != q)
            verts_.push_back(q);
    };
    const std::optional<LinearMap> linearY = LinearMap::of(yMap, logY);
    const LinearMap mapY = linearY.value_or(LinearMap{});
    ColumnRows columnRows;
    if (marks)
        columnRows.start(marks->rect.height());

    // The common case in a tight loop: every X here is finite (and positive on a log axis), Y
    // maps linearly, and the marks of this column are one bit in each row.
    auto walkColumn = [&](int from, int end, std::int64_t c) {
        std::uint64_t* word = nullptr;
        std::uint64_t mask = 0;
        if (marks && c >= marks->rect.left() && c <= marks->rect.right()) {
            const std::int64_t cx = c - marks->rect.left();
            word = marks->row(0) + (cx >> 6);
            mask = std::uint64_t{1} << (cx & 63);
        }
        std::uint8_t* const rowFlags = columnRows.flags();
        const std::uint64_t rowCount = columnRows.rows();
        const std::int64_t top = marks ? marks->rect.top() : 0;
        const bool marking = word != nullptr;
        const auto col = static_cast<int>(c);
        auto keepColumn = [&](int firstY, int lowY, int lowAt, int highY, int highAt, int lastY) {
            push(col, firstY);
            if (lowAt <= highAt) {
                push(col, lowY);
                push(col, highY);
            } else {
                push(col, highY);
                push(col, lowY);
            }
            push(col, lastY);
        };
        // The rows this column's points reach.
        int spanLow = std::numeric_limits<int>::max(), spanHigh = std::numeric_limits<int>::min();
        // Each stretch of finite Y is kept like a column of its own; NaN and infinite Y break
        // the line. Without them (known from the data's summary) the column is one stretch.
        for (int k = from; k < end;) {
            int stop = end;
            if (!finite_) {
                if (!finiteValue(ys[k])) {
                    verts_.push_back(QPoint(kBreak, kBreak));
                    ++k;
                    continue;
                }
                stop = k + 1;
                while (stop < end && finiteValue(ys[stop]))
                    ++stop;
            }
            const ColumnScan scan =
                marking ? scanColumn<true>(ys, k, stop, mapY, rowFlags, top, rowCount)
                        : scanColumn<false>(ys, k, stop, mapY, nullptr, 0, 0);
            keepColumn(scan.firstY, scan.lowY, scan.lowAt, scan.highY, scan.highAt, scan.lastY);
            spanLow = std::min(spanLow, scan.lowY);
            spanHigh = std::max(spanHigh, scan.highY);
            k = stop;
        }
        if (marking)
            columnRows.flush(spanLow - top, spanHigh - top, word,
                             static_cast<std::size_t>(marks->stride), mask);
    };

    std::int64_t count = 1; // points in the last column
    int i = 0;
    while (i < n) {
        const std::int64_t c = column(i);
        const int end = columnEnd(column, c, i, n, i + count);
        count = end - i;
        // The next column's search reads X where that column likely ends: ask for it early,
        // since it lies far from anything read lately.
        if (end + count < n)
            __builtin_prefetch(xs + end + count - 1);
        const bool folded = c == leftCol || c == rightCol;
        if (!folded && linearY) {
            walkColumn(i, end, c);
            i = end;
            continue;
        }

        // First, lowest, highest and last point of each unbroken stretch of this column.
        bool open = false;
        std::int64_t fx = 0, fy = 0, lx = 0, ly = 0, lowX = 0, lowY = 0, highX = 0, highY = 0;
        int lowAt = 0, highAt = 0;
        auto close = [&]() {
            if (!open)
                return;
            push(fx, fy);
            if (lowAt <= highAt) {
                push(lowX, lowY);
                push(highX, highY);
            } else {
                push(highX, highY);
                push(lowX, lowY);
            }
            push(lx, ly);
            open = false;
        };
        for (int k = i; k < end; ++k) {
            const double x = xs[k], y = ys[k];
            if (!usable(x, y, logX, logY)) {
                close();
                verts_.push_back(QPoint(kBreak, kBreak));
                continue;
            }
            const std::int64_t px = folded ? roundPixel(xMap.transform(x)) : c;
            const std::int64_t py = roundPixel(yMap.transform(y));
            if (marks && !folded)
                marks->setIn(px, py);
            if (!open) {
                open = true;
                fx = lx = lowX = highX = px;
                fy = ly = lowY = highY = py;
                lowAt = highAt = k;
                continue;
            }
            if (py < lowY) {
                lowX = px;
                lowY = py;
                lowAt = k;
            }
            if (py > highY) {
                highX = px;
                highY = py;
                highAt = k;
            }
            lx = px;
            ly = py;
        }
        close();
        i = end;
    }
}

bool CurveItem::collectInside(const LinearMap& mapX, const LinearMap& mapY, std::int64_t left,
                              std::int64_t right, std::int64_t top, std::int64_t bottom,
                              Plane* marks) const {
    // When every point lands inside the canvas (as after fitting the view to the data), no
    // point needs a test: one pass without branches on the data keeps each pixel that
    // differs from the one before and marks it for its symbol.
    const auto b = bounds(false, false);
    if (!b)
        return false;
    const double x0 = mapX(b->xmin), x1 = mapX(b->xmax);
    const double y0 = mapY(b->ymin), y1 = mapY(b->ymax);
    const QRect box = marks != nullptr
                          ? marks->rect
                          : QRect(QPoint(static_cast<int>(left), static_cast<int>(top)),
                                  QPoint(static_cast<int>(right), static_cast<int>(bottom)));
    if (box.left() < 0 || box.top() < 0 || roundPixel(std::min(x0, x1)) < box.left() ||
        roundPixel(std::max(x0, x1)) > box.right() || roundPixel(std::min(y0, y1)) < box.top() ||
        roundPixel(std::max(y0, y1)) > box.bottom())
        return false;

    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();
    const size_t base = verts_.size();
    verts_.resize(base + static_cast<size_t>(n));
    QPoint* out = verts_.data() + base;
    size_t k = 0;
    int lastX = -1, lastY = -1; // no pixel: every coordinate here is at least 0
    auto pass = [&](auto&& mark) {
        for (int i = 0; i < n; ++i) {
            // Pixel coordinates are not negative here, so truncation rounds as roundPixel.
            const int px = static_cast<int>(mapX(xs[i]) + 0.5);
            const int py = static_cast<int>(mapY(ys[i]) + 0.5);
            out[k] = QPoint(px, py);
            k += (px != lastX) | (py != lastY) ? 1 : 0;
            mark(px, py);
            lastX = px;
            lastY = py;
        }
    };
    if (marks != nullptr) {
        std::uint64_t* bits = marks->row(0);
        const auto stride = static_cast<std::ptrdiff_t>(marks->stride);
        const int ml = marks->rect.left(), mt = marks->rect.top();
        pass([=](int px, int py) {
            const int cx = px - ml;
            bits[(py - mt) * stride + (cx >> 6)] |= std::uint64_t{1} << (cx & 63);
        });
    } else {
        pass([](int, int) {});
    }
    verts_.resize(base + k);
    return true;
}

void CurveItem::collectUnsorted(const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                                const QRectF& canvasRect, bool logX, bool logY,
                                Plane* marks) const {
    // Consecutive points on the same pixel are dropped. A run of points all beyond the same
    // edge of the canvas (with room for the pen) keeps only its first and last point: no
    // segment between them can reach the canvas.
    const double m = std::max(1.0, style_.pen.widthF()) + 2.0;
    const auto left = static_cast<std::int64_t>(std::floor(canvasRect.left() - m));
    const auto right = static_cast<std::int64_t>(std::ceil(canvasRect.right() + m));
    const auto top = static_cast<std::int64_t>(std::floor(canvasRect.top() - m));
    const auto bottom = static_cast<std::int64_t>(std::ceil(canvasRect.bottom() + m));
    auto outcode = [&](std::int64_t x, std::int64_t y) {
        return (x < left ? 1u : 0u) | (x > right ? 2u : 0u) | (y < top ? 4u : 0u) |
               (y > bottom ? 8u : 0u);
    };

    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();

    unsigned runCode = 0; // edges shared by the current run of outside points
    bool pending = false; // the run's latest point, not yet emitted
    QPoint pendingPoint;
    std::int64_t lastX = 0, lastY = 0; // the latest point taken (emitted or pending)
    bool haveLast = false;

    auto walk = [&](auto&& ok, auto&& mapX, auto&& mapY) {
        for (int i = 0; i < n; ++i) {
            const double x = xs[i], y = ys[i];
            if (!ok(x, y)) {
                if (pending)
                    verts_.push_back(pendingPoint);
                pending = false;
                runCode = 0;
                haveLast = false;
                verts_.push_back(QPoint(kBreak, kBreak));
                continue;
            }
            const std::int64_t px = roundPixel(mapX(x));
            const std::int64_t py = roundPixel(mapY(y));
            if (haveLast && px == lastX && py == lastY)
                continue;
            if (marks)
                marks->setIn(px, py);
            const QPoint p(static_cast<int>(px), static_cast<int>(py));
            lastX = px;
            lastY = py;
            const unsigned code = outcode(px, py);
            if (haveLast && (runCode & code) != 0) {
                runCode &= code;
                pending = true;
                pendingPoint = p;
                continue;
            }
            if (pending)
                verts_.push_back(pendingPoint);
            pending = false;
            runCode = code;
            haveLast = true;
            verts_.push_back(p);
        }
    };
    const auto lx = LinearMap::of(xMap, logX);
    const auto ly = LinearMap::of(yMap, logY);
    if (finite_ && lx && ly && collectInside(*lx, *ly, left, right, top, bottom, marks))
        return;
    if (finite_ && lx && ly) {
        // The common case: nothing to check per point, and both maps in registers.
        walk([](double, double) { return true; }, *lx, *ly);
    } else {
        walk([logX, logY](double x, double y) { return usable(x, y, logX, logY); },
             [&xMap](double x) { return xMap.transform(x); },
             [&yMap](double y) { return yMap.transform(y); });
    }
    if (pending)
        verts_.push_back(pendingPoint);
}

void CurveItem::markSymbols(const QwtScaleMap& xMap, const QwtScaleMap& yMap, bool logX, bool logY,
                            Plane& marks) const {
    const double* xs = x_.constData();
    const double* ys = y_.constData();
    const int n = x_.size();
    for (int i = 0; i < n; ++i) {
        const double x = xs[i], y = ys[i];
        if (usable(x, y, logX, logY))
            marks.setIn(roundPixel(xMap.transform(x)), roundPixel(yMap.transform(y)));
    }
}

void CurveItem::prepareStamp(QPainter* painter) const {
    const auto key = static_cast<quint64>(painter->renderHints());
    if (!stamp_.isNull() && stampKey_ == key)
        return;
    // Rendered exactly like Qwt's own symbol cache, so that a stamp is the same pixels.
    const QwtSymbol& sym = *symbol();
    const QRect br = sym.boundingRect();
    stamp_ = QImage(br.size(), QImage::Format_ARGB32_Premultiplied);
    stamp_.fill(Qt::transparent);
    QPainter p(&stamp_);
    p.setRenderHints(painter->renderHints());
    p.translate(-br.topLeft());
    sym.drawSymbol(&p, QPointF(0.0, 0.0));
    p.end();
    stampOffset_ = br.topLeft();
    stampKey_ = key;

    // The largest square around the symbol's centre that the stamp paints opaque.
    stampSquare_ = 0;
    const QPoint centre = -stampOffset_;
    auto opaque = [this](int x, int y) {
        return stamp_.rect().contains(x, y) &&
               (reinterpret_cast<const quint32*>(stamp_.constScanLine(y))[x] >> 24) == 255;
    };
    for (int r = 1; r <= std::max(stamp_.width(), stamp_.height()); ++r) {
        bool full = true;
        for (int d = -r; d <= r && full; ++d)
            full = opaque(centre.x() + d, centre.y() - r) &&
                   opaque(centre.x() + d, centre.y() + r) &&
                   opaque(centre.x() - r, centre.y() + d) && opaque(centre.x() + r, centre.y() + d);
        if (!full || !opaque(centre.x(), centre.y()))
            break;
        stampSquare_ = r;
    }

    // One opaque colour, one run of pixels per row: then the order and number of stamps on a
    // pixel cannot matter, and the union of the stamps is the whole picture.
    stampColour_ = 0;
    stampSpans_.assign(static_cast<size_t>(stamp_.height()), {0, 0});
    if (stamp_.width() > 64)
        return;
    quint32 colour = 0;
    for (int r = 0; r < stamp_.height(); ++r) {
        const auto* row = reinterpret_cast<const quint32*>(stamp_.constScanLine(r));
        int a = -1, b = -1;
        for (int c = 0; c < stamp_.width(); ++c) {
            if (row[c] == 0)
                continue;
            if ((row[c] >> 24) != 255 || (colour != 0 && row[c] != colour) || (a >= 0 && b != c))
                return;
            colour = row[c];
            if (a < 0)
                a = c;
            b = c + 1;
        }
        if (a >= 0)
            stampSpans_[static_cast<size_t>(r)] = {a, b};
    }
    stampColour_ = colour;
}

void CurveItem::buildCover(const Plane& marks, const QRect& allowed, Plane& cover) const {
    // Mark bit j of row y stands for logical (marks.rect.left() + j, marks.rect.top() + y); its
    // stamp pixel (c, r) is cover bit j + c of cover row y + r.
    const int h = marks.rect.height();
    const int n = cover.stride;
    // The stamp's rows share few distinct spans: dilate each mark row once per distinct span.
    std::vector<std::pair<int, int>> distinct;
    for (const auto& span : stampSpans_)
        if (span.first < span.second &&
            std::find(distinct.begin(), distinct.end(), span) == distinct.end())
            distinct.push_back(span);
    std::vector<std::uint64_t>& dilated = scratch().dilated;
    dilated.assign(static_cast<size_t>(n) * distinct.size(), 0);
    std::vector<std::uint64_t>& shifted = scratch().shifted;
    std::vector<std::uint64_t>& wide = scratch().wide;
    shifted.assign(static_cast<size_t>(n), 0);
    wide.assign(static_cast<size_t>(n), 0);
    for (int y = 0; y < h; ++y) {
        const std::uint64_t* src = marks.row(y);
        if (std::all_of(src, src + n, [](std::uint64_t w) { return w == 0; }))
            continue;
        for (size_t s = 0; s < distinct.size(); ++s) {
            // The OR of the row shifted by every offset of the span [a, b): widen a run of
            // width `have` to twice that until it spans b - a, then move it by a.
            const int a = distinct[s].first, width = distinct[s].second - a;
            std::copy(src, src + n, wide.begin());
            int have = 1;
            while (have < width) {
                const int step = std::min(have, width - have);
                shiftRow(wide.data(), shifted.data(), n, step);
                for (int k = 0; k < n; ++k)
                    wide[static_cast<size_t>(k)] |= shifted[static_cast<size_t>(k)];
                have += step;
            }
            shiftRow(wide.data(), dilated.data() + s * static_cast<size_t>(n), n, a);
        }
        for (int r = 0; r < stamp_.height(); ++r) {
            const auto& span = stampSpans_[static_cast<size_t>(r)];
            if (span.first >= span.second)
                continue;
            const auto s = static_cast<size_t>(std::find(distinct.begin(), distinct.end(), span) -
                                               distinct.begin());
            const std::uint64_t* from = dilated.data() + s * static_cast<size_t>(n);
            std::uint64_t* dst = cover.row(y + r);
            for (int k = 0; k < n; ++k)
                dst[k] |= from[k];
        }
    }
    // Only what may be written counts: clear the rest.
    const QRect keep = allowed & cover.rect;
    for (int y = 0; y < cover.rect.height(); ++y) {
        std::uint64_t* row = cover.row(y);
        const int ly = cover.rect.top() + y;
        if (keep.isEmpty() || ly < keep.top() || ly > keep.bottom()) {
            std::fill(row, row + cover.stride, 0);
            continue;
        }
        const int from = keep.left() - cover.rect.left(), to = keep.right() - cover.rect.left();
        for (int k = 0; k < cover.stride; ++k) {
            const int lo = k * 64, hi = lo + 63;
            if (hi < from || lo > to) {
                row[k] = 0;
                continue;
            }
            std::uint64_t mask = ~std::uint64_t{0};
            if (lo < from)
                mask &= ~std::uint64_t{0} << (from - lo);
            if (hi > to)
                mask &= ~std::uint64_t{0} >> (hi - to);
            row[k] &= mask;
        }
    }
}

void CurveItem::buildDeep(const Plane& cover, int radius, Plane& deep) const {
    // Erosion by a square: a pixel is deep when every pixel within `radius` is covered.
    const int h = cover.rect.height(), n = cover.stride;
    std::vector<std::uint64_t>& across = scratch().across;
    across.assign(static_cast<size_t>(n) * static_cast<size_t>(h), 0);
    std::vector<std::uint64_t>& tmp = scratch().shifted;
    tmp.assign(static_cast<size_t>(n), 0);
    for (int y = 0; y < h; ++y) {
        const std::uint64_t* src = cover.row(y);
        std::uint64_t* dst = across.data() + static_cast<size_t>(y) * n;
        std::copy(src, src + n, dst);
        if (std::all_of(src, src + n, [](std::uint64_t w) { return w == 0; }))
            continue;
        for (int s = 1; s <= radius; ++s) {
            shiftRow(src, tmp.data(), n, s);
            for (int k = 0; k < n; ++k)
                dst[k] &= tmp[static_cast<size_t>(k)];
            shiftRow(src, tmp.data(), n, -s);
            for (int k = 0; k < n; ++k)
                dst[k] &= tmp[static_cast<size_t>(k)];
        }
    }
    for (int y = 0; y < h; ++y) {
        std::uint64_t* dst = deep.row(y);
        if (y < radius || y + radius >= h) {
            std::fill(dst, dst + n, 0);
            continue;
        }
        const std::uint64_t* own = across.data() + static_cast<size_t>(y) * n;
        if (std::all_of(own, own + n, [](std::uint64_t w) { return w == 0; })) {
            std::fill(dst, dst + n, 0);
            continue;
        }
        std::copy(own, own + n, dst);
        for (int d = -radius; d <= radius; ++d) {
            const std::uint64_t* other = across.data() + static_cast<size_t>(y + d) * n;
            for (int k = 0; k < n; ++k)
                dst[k] &= other[k];
        }
    }
}

bool CurveItem::makeLayer(QPainter* painter, const DirectTarget& target,
                          const QRectF& canvasRect) const {
    // Only a line whose every pixel is one opaque colour can be replayed as a set of pixels:
    // then the order of painting within it does not matter, and nothing is blended.
    const QBrush& brush = style_.pen.brush();
    if (brush.style() != Qt::SolidPattern || brush.color().alpha() != 255 ||
        painter->testRenderHint(QPainter::Antialiasing))
        return false;
    // Drawn exactly as it would be on the target: same device size, transform, clip and hints.
    QImage& layer = scratch().layer;
    if (layer.size() != target.image->size())
        layer = QImage(target.image->size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(0);
    {
        QPainter p(&layer);
        p.setRenderHints(painter->renderHints());
        p.setTransform(painter->deviceTransform());
        p.setClipRect(target.allowed.translated(-target.offset));
        p.setPen(style_.pen);
        drawVertices(&p, canvasRect);
    }
    const QRect logical = target.allowed.translated(-target.offset);
    const int rowWords = (logical.width() + 63) / 64;
    layerPlane_.reset(logical, rowWords, layerBits_);
    quint32 colour = 0;
    for (int y = 0; y < logical.height(); ++y) {
        const auto* row =
            reinterpret_cast<const quint32*>(layer.constScanLine(target.allowed.top() + y)) +
            target.allowed.left();
        std::uint64_t* bits = layerPlane_.row(y);
        for (int x = 0; x < logical.width(); ++x) {
            const quint32 v = row[x];
            if (v == 0)
                continue;
            if (colour == 0 && (v >> 24) == 255)
                colour = v;
            if (v != colour)
                return false;
            bits[x >> 6] |= std::uint64_t{1} << (x & 63);
        }
    }
    layerColour_ = colour;
    return true;
}

void CurveItem::paintPlane(const DirectTarget& target, const Plane& cover, quint32 colour) const {
    QImage& image = *target.image;
    uchar* bits = image.bits();
    const qsizetype bpl = image.bytesPerLine();
    const QPoint base = cover.rect.topLeft() + target.offset;
    for (int y = 0; y < cover.rect.height(); ++y) {
        const std::uint64_t* row = cover.row(y);
        if (std::all_of(row, row + cover.stride, [](std::uint64_t w) { return w == 0; }))
            continue; // cleared rows may lie outside the image
        auto* dst = reinterpret_cast<quint32*>(bits + (base.y() + y) * bpl) + base.x();
        for (int k = 0; k < cover.stride; ++k) {
            // Runs of set bits are filled in one go: a union of symbols and lines is mostly
            // runs several pixels long.
            std::uint64_t v = row[k];
            while (v != 0) {
                const int from = __builtin_ctzll(v);
                const std::uint64_t rest = ~(v >> from);
                const int length = rest == 0 ? 64 - from : __builtin_ctzll(rest);
                std::fill_n(dst + k * 64 + from, length, colour);
                v = length + from >= 64 ? 0 : v & (~std::uint64_t{0} << (from + length));
            }
        }
    }
}

namespace {

// A 64-bit row word of marks spread over `width` bit positions (each mark becomes a run of
// `width` bits starting at it) and moved `shift` bits on, as two words: what lands in this
// word and what spills into the next. width + shift must not exceed 64.
inline std::pair<std::uint64_t, std::uint64_t> spreadWord(std::uint64_t w, int width, int shift) {
    std::uint64_t lo = w, hi = 0;
    for (int have = 1; have < width;) {
        const int step = std::min(have, width - have);
        hi |= (hi << step) | (lo >> (64 - step));
        lo |= lo << step;
        have += step;
    }
    if (shift > 0) {
        hi = (hi << shift) | (lo >> (64 - shift));
        lo <<= shift;
    }
    return {lo, hi};
}

// How the marks of a plane lie: the rows that hold any, and whether they lie close enough
// together for their stamps' union to be cheaper to gather and write than the stamps one by
// one. Measured: with four marks or more to each word of marks that holds any (a line of
// symbols), the union costs less; with two or three (symbols spread over the plot), stamping
// each one still costs less.
struct MarkLayout {
    int firstRow = 0, endRow = 0; // rows [firstRow, endRow) hold every mark
    bool crowded = false;
};

// Set bits of a word, without the library call the base instruction set makes of it.
inline int bitCount(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

MarkLayout layoutOf(const std::uint64_t* bits, int words, int height) {
    MarkLayout m;
    m.firstRow = height;
    std::int64_t marks = 0, held = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint64_t* row = bits + static_cast<size_t>(y) * static_cast<size_t>(words);
        bool any = false;
        for (int k = 0; k < words; ++k) {
            if (row[k] == 0)
                continue;
            any = true;
            ++held;
            marks += bitCount(row[k]);
        }
        if (any) {
            m.firstRow = std::min(m.firstRow, y);
            m.endRow = y + 1;
        }
    }
    m.crowded = held > 0 && marks >= 4 * held;
    return m;
}

// Writes `colour` at every set bit of a bit plane (rows of `words` words, bit j of row y being
// logical pixel (origin.x() + j, origin.y() + y)), leaving out what lies outside `allowed`
// (device pixels; `offset` maps logical to device).
void paintBits(QImage& image, const std::uint64_t* bits, int words, int height,
               const QPoint& origin, const QPoint& offset, const QRect& allowed, quint32 colour) {
    uchar* data = image.bits();
    const qsizetype bpl = image.bytesPerLine();
    const int x0 = origin.x() + offset.x();                          // device x of bit 0
    const int from = allowed.left() - x0, to = allowed.right() - x0; // bit range kept
    if (to < 0 || from >= words * 64)
        return;
    for (int y = 0; y < height; ++y) {
        const int dy = origin.y() + offset.y() + y;
        if (dy < allowed.top() || dy > allowed.bottom())
            continue;
        const std::uint64_t* row = bits + static_cast<size_t>(y) * static_cast<size_t>(words);
        auto* dst = reinterpret_cast<quint32*>(data + dy * bpl);
        for (int k = std::max(0, from >> 6); k < words && k * 64 <= to; ++k) {
            std::uint64_t v = row[k];
            if (v == 0)
                continue;
            const int lo = k * 64;
            if (lo < from)
                v &= ~std::uint64_t{0} << (from - lo);
            if (lo + 63 > to)
                v &= ~std::uint64_t{0} >> (lo + 63 - to);
            // A run of set bits at a time: a union row is mostly runs, and fewer, wider
            // stores keep more image lines in flight than one store per pixel.
            while (v != 0) {
                const int a = __builtin_ctzll(v);
                const std::uint64_t rest = ~(v >> a);
                const int len = rest == 0 ? 64 - a : __builtin_ctzll(rest);
                std::fill_n(dst + x0 + lo + a, len, colour);
                v = a + len >= 64 ? 0 : v & (~std::uint64_t{0} << (a + len));
            }
        }
    }
}

} // namespace

void CurveItem::stampSymbols(QPainter* painter, const Plane& marks,
                             const DirectTarget* target) const {
    const QRect& area = marks.rect;
    auto forEachMark = [&](auto&& visit) {
        for (int row = 0; row < area.height(); ++row) {
            const std::uint64_t* words = marks.row(row);
            for (int wi = 0; wi < marks.stride; ++wi) {
                std::uint64_t bits = words[wi];
                while (bits != 0) {
                    const int bit = __builtin_ctzll(bits);
                    bits &= bits - 1;
                    visit(area.left() + wi * 64 + bit, area.top() + row);
                }
            }
        }
    };

    if (target == nullptr) {
        // Any other device (printer, vector export, a scaled painter): let Qwt draw the symbol
        // at each distinct pixel.
        const QwtSymbol& sym = *symbol();
        QPolygonF points;
        points.reserve(512);
        forEachMark([&](int x, int y) {
            points.append(QPointF(x, y));
            if (points.size() == 512) {
                sym.drawSymbols(painter, points);
                points.clear();
            }
        });
        if (!points.isEmpty())
            sym.drawSymbols(painter, points);
        return;
    }

    const QRect allowed = target->allowed;
    uchar* bits = target->image->bits();
    const qsizetype bpl = target->image->bytesPerLine();
    const QPoint shift = target->offset + stampOffset_;
    const int sh = stamp_.height();
    const MarkLayout layout =
        stampColour_ != 0 ? layoutOf(marks.row(0), marks.stride, area.height()) : MarkLayout{};
    if (layout.crowded) {
        // One opaque colour in one run per row: the stamps' union is the whole picture, and
        // the order and number of stamps on a pixel do not matter. The union is gathered as a
        // bit plane, a word of marks at a time, then written row by row: each pixel once, and
        // in the order the image lies in memory, instead of a few pixels in a few rows per
        // stamp. Mark bit j of row y is the stamp pixel (c, r) at union bit j + c of row y + r.
        std::vector<std::pair<int, int>> distinct; // spans as (first column, width)
        std::vector<std::pair<int, int>> runs;     // (stamp row, index into distinct)
        for (int r = 0; r < sh; ++r) {
            const auto& span = stampSpans_[static_cast<size_t>(r)];
            if (span.first >= span.second)
                continue;
            const std::pair<int, int> d{span.first, span.second - span.first};
            auto it = std::find(distinct.begin(), distinct.end(), d);
            if (it == distinct.end())
                it = distinct.insert(distinct.end(), d);
            runs.push_back({r, static_cast<int>(it - distinct.begin())});
        }
        // Only the rows the marks reach: union row y stands for mark row first + y.
        const int first = layout.firstRow;
        const int words = marks.stride + 1;
        const int height = layout.endRow - first + sh - 1;
        thread_local std::vector<std::uint64_t> cover;
        cover.assign(static_cast<size_t>(words) * static_cast<size_t>(height), 0);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spread(distinct.size());
        for (int y = 0; y < layout.endRow - first; ++y) {
            const std::uint64_t* src = marks.row(first + y);
            for (int k = 0; k < marks.stride; ++k) {
                const std::uint64_t w = src[k];
                if (w == 0)
                    continue;
                for (size_t d = 0; d < distinct.size(); ++d)
                    spread[d] = spreadWord(w, distinct[d].second, distinct[d].first);
                for (const auto& [r, d] : runs) {
                    std::uint64_t* dst =
                        cover.data() + static_cast<size_t>(y + r) * static_cast<size_t>(words) + k;
                    dst[0] |= spread[static_cast<size_t>(d)].first;
                    dst[1] |= spread[static_cast<size_t>(d)].second;
                }
            }
        }
        paintBits(*target->image, cover.data(), words, height,
                  area.topLeft() + stampOffset_ + QPoint(0, first), target->offset, allowed,
                  stampColour_);
        return;
    }

    if (stampColour_ != 0) {
        // One opaque colour in one run per row: each stamp row is a plain fill.
        const quint32 colour = stampColour_;
        struct Run {
            int row, from, to;
        };
        std::vector<Run> runs;
        for (int r = 0; r < sh; ++r) {
            const auto& span = stampSpans_[static_cast<size_t>(r)];
            if (span.first < span.second)
                runs.push_back({r, span.first, span.second});
        }
        // Stamps whose whole box lies in the allowed pixels need no cutting.
        const int sw = stamp_.width();
        const int wholeLeft = allowed.left(), wholeTop = allowed.top();
        const int wholeRight = allowed.right() + 1 - sw, wholeBottom = allowed.bottom() + 1 - sh;
        forEachMark([&](int x, int y) {
            const int left = x + shift.x(), top = y + shift.y();
            if (left >= wholeLeft && left <= wholeRight && top >= wholeTop && top <= wholeBottom) {
                uchar* base = bits + static_cast<qsizetype>(top) * bpl;
                for (const Run& run : runs) {
                    auto* dst = reinterpret_cast<quint32*>(base + run.row * bpl) + left;
                    for (int c = run.from; c < run.to; ++c)
                        dst[c] = colour;
                }
                return;
            }
            for (const Run& run : runs) {
                const int dy = top + run.row;
                if (dy < allowed.top() || dy > allowed.bottom())
                    continue;
                const int a = std::max(run.from, allowed.left() - left);
                const int b = std::min(run.to, allowed.right() + 1 - left);
                if (a < b)
                    std::fill_n(reinterpret_cast<quint32*>(bits + dy * bpl) + left + a, b - a,
                                colour);
            }
        });
        return;
    }

    // Translucent or many-coloured stamps: blend each one, in the engine's own arithmetic.
    const int sw = stamp_.width();
    std::vector<std::pair<int, int>> spans(static_cast<size_t>(sh));
    for (int r = 0; r < sh; ++r) {
        const auto* row = reinterpret_cast<const quint32*>(stamp_.constScanLine(r));
        int a = 0, b = sw;
        while (a < b && row[a] == 0)
            ++a;
        while (b > a && row[b - 1] == 0)
            --b;
        spans[static_cast<size_t>(r)] = {a, b};
    }
    forEachMark([&](int x, int y) {
        const int left = x + shift.x(), top = y + shift.y();
        for (int r = 0; r < sh; ++r) {
            const int dy = top + r;
            if (dy < allowed.top() || dy > allowed.bottom())
                continue;
            auto [a, b] = spans[static_cast<size_t>(r)];
            a = std::max(a, allowed.left() - left);
            b = std::min(b, allowed.right() + 1 - left);
            if (a >= b)
                continue;
            const auto* src = reinterpret_cast<const quint32*>(stamp_.constScanLine(r));
            auto* dst = reinterpret_cast<quint32*>(bits + dy * bpl);
            for (int c = a; c < b; ++c)
                if (src[c] != 0)
                    dst[left + c] = sourceOver(dst[left + c], src[c]);
        }
    });
}

} // namespace tellurix::lumenfold::plotting::detail
