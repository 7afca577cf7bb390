#include "curve_item.h"

#include "covered_tiles.h"
#include "line_painter.h"
#include "parametric_points.h"
#include "segment_filters.h"
#include "sorted_columns.h"
#include "thin_line.h"
#include "vertex_runs.h"

#include <qwt_symbol.h>

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tellurix::lumenfold::plotting::detail {

namespace {

constexpr size_t kDeepWorthwhile = 100000; // segments the cheap test leaves
constexpr int kUnionWorthwhile = 50000;    // points of a curve
// Segments up to twice this long are tested by their ends against the symbols' union eroded
// by this much more (see NearCover): the noisy steps of a dense curve are mostly that short.
constexpr int kNearReach = 4;
// A line whose segments, end to end, walk this many times the pixels it may write is dense:
// it soon covers all it can, and what it walks after that changes nothing.
constexpr long long kDenseWalk = 4;

// Pixels a pen of this width can touch lie within this many pixels (in x and in y) of the
// segment between two whole-pixel points; thin pens go one pixel astray at most.
int penReach(double width) {
    if (width <= 1.0)
        return 1;
    return static_cast<int>(std::ceil(width / 2.0)) + 1;
}

// Working memory of one drawing, shared by every curve of the (GUI) thread: curves are
// drawn one after another, and the largest of them sets its size, not their number.
struct Scratch {
    std::vector<QPoint> verts, kept; // collected vertices, and what a filter keeps
    std::vector<std::uint64_t> marks, deep, near;
};

// Whether the line's first steps are short on the whole, as in a noisy curve: there the test
// of segments by their ends pays, whereas in a cloud whose steps cross the canvas it would
// only cost (the covered tiles take those).
bool shortSteps(const std::vector<QPoint>& verts) {
    const std::size_t probe = std::min<std::size_t>(verts.size(), 4096);
    const std::size_t segments = segmentCount(verts.data(), probe);
    const auto most = static_cast<long long>(2 * kNearReach) * static_cast<long long>(segments);
    return segments > 0 && walkLength(verts.data(), probe, most) <= most;
}

Scratch& scratch() {
    thread_local Scratch shared;
    return shared;
}

} // namespace

struct CurveItem::Frame {
    Frame(const QwtScaleMap& x, const QwtScaleMap& y, const QRectF& canvas)
        : xMap(x)
        , yMap(y)
        , canvasRect(canvas) {}
    const QwtScaleMap& xMap;
    const QwtScaleMap& yMap;
    QRectF canvasRect;
    bool logX = false, logY = false;
    bool lines = false;
    bool marking = false; // symbols are drawn, at the pixels of `area`
    QRect area;
    QRect allowed; // logical pixels that may be written, when there is a target
    bool union_ = false;
    const DirectTarget* target = nullptr;
    bool thinPen = false;
};

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

void CurveItem::setValues(QVector<double> x, QVector<double> y) {
    x_ = std::move(x);
    y_ = std::move(y);
    // The raw samples point into our own vectors, which nobody else can write to: a caller
    // writing to its copy detaches its copy.
    setRawSamples(x_.constData(), y_.constData(), x_.size());
    cache_.dataChanged();
    // One pass answers what every drawing and every fit asks first: whether X is monotonic
    // and, for finite data, the bounds on linear axes. The data are read from memory once.
    const int n = x_.size();
    if (n == 0)
        return;
    const Summary sum = summarise(x_.constData(), y_.constData(), n);
    cache_.monotone = (n == 1 ? x_[0] == x_[0] : sum.up || sum.down) ? CurveCache::Order::Monotonic
                                                                     : CurveCache::Order::Unordered;
    cache_.finite = sum.finite;
    if (sum.finite)
        cache_.bounds[0] = std::optional<Bounds>(Bounds{sum.xmin, sum.xmax, sum.ymin, sum.ymax});
}

std::optional<Bounds> CurveItem::bounds(bool logX, bool logY) const {
    auto& slot = cache_.bounds[(logX ? 1 : 0) + (logY ? 2 : 0)];
    if (!slot)
        slot = usableBounds(x_.constData(), y_.constData(), x_.size(), logX, logY);
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

void CurveItem::drawFast(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                         const QRectF& canvasRect, bool logX, bool logY) const {
    Frame f(xMap, yMap, canvasRect);
    f.logX = logX;
    f.logY = logY;
    f.lines = style_.pen.style() != Qt::NoPen;
    const bool symbols = symbol() != nullptr && symbol()->style() != QwtSymbol::NoSymbol &&
                         !symbol()->boundingRect().isEmpty();
    SymbolStamp& stamp = cache_.stamp;
    // As Qwt does: only symbols whose centre pixel lies in the visible canvas are drawn.
    if (symbols) {
        QRectF clipRect = canvasRect;
        if (painter->hasClipping())
            clipRect &= painter->clipBoundingRect();
        f.area = clipRect.toAlignedRect();
        stamp.prepare(*symbol(), *painter);
    }
    f.marking = symbols && !f.area.isEmpty();
    const std::optional<DirectTarget> target =
        f.marking || f.lines ? directTarget(painter) : std::nullopt;
    f.target = target ? &*target : nullptr;
    f.allowed = target ? target->allowed.translated(-target->offset) : QRect();
    f.thinPen = ThinLine::suits(style_.pen, *painter);
    // With a one-colour opaque symbol on an image we can write to, the symbols' union is known
    // before anything is drawn: it is painted in one go, and line pieces it will cover
    // entirely are not drawn at all. Building that union costs a fixed amount of plane work
    // per curve, whatever the number of points; for few points stamping each symbol straight
    // onto the line costs less.
    f.union_ = f.marking && target && stamp.colour() != 0 && x_.size() >= kUnionWorthwhile;

    DrawKey key;
    key.maps = {xMap.s1(), xMap.s2(), xMap.p1(), xMap.p2(),
                yMap.s1(), yMap.s2(), yMap.p1(), yMap.p2()};
    key.canvas = canvasRect;
    key.area = f.marking ? f.area : QRect();
    key.allowed = f.allowed;
    key.stamp = symbols ? stamp.key() : 0;
    key.logX = logX;
    key.logY = logY;
    key.direct = f.union_;
    key.target = target.has_value();
    key.image = target ? target->image->size() : QSize();
    if (!cache_.drawnValid || !(key == cache_.key)) {
        cache_.drawnValid = false;
        build(f);
        cache_.key = key;
        cache_.drawnValid = true;
        cache_.repeated = false;
        cache_.layer = CurveCache::Layer::None;
    } else if (!cache_.repeated) {
        cache_.repeated = true;
    }

    if (f.lines) {
        if (target && f.thinPen) {
            // The common pen: its pixels are written straight into the image.
            drawThinRuns(painter, style_.pen, *target, cache_.drawn);
        } else {
            // A curve drawn a second time alike is likely to be drawn so again and again
            // (other curves of the plot are changing): its line pixels are kept as a plane
            // of their own.
            if (cache_.repeated && target && cache_.layer == CurveCache::Layer::None)
                cache_.layer = lineLayer(painter, style_.pen, *target, canvasRect, cache_.drawn,
                                         cache_.layerPlane, cache_.layerBits, cache_.layerColour)
                                   ? CurveCache::Layer::Ready
                                   : CurveCache::Layer::Refused;
            if (cache_.layer == CurveCache::Layer::Ready) {
                paintBits(*target, cache_.layerPlane, cache_.layerColour);
            } else {
                painter->save();
                painter->setPen(style_.pen);
                drawPolylines(painter, style_.pen, cache_.drawn, canvasRect);
                painter->restore();
            }
        }
    }
    if (f.marking) {
        if (f.union_)
            paintBits(*target, cache_.plane, stamp.colour());
        else
            stamp.stampAll(painter, *symbol(), cache_.plane, f.target);
    }
}

CollectInput CurveItem::input(const Frame& f) const {
    CollectInput in;
    in.xs = x_.constData();
    in.ys = y_.constData();
    in.n = x_.size();
    in.finite = cache_.finite;
    if (cache_.finite && cache_.bounds[0] && *cache_.bounds[0]) {
        in.yBounded = true;
        in.ymin = (*cache_.bounds[0])->ymin;
        in.ymax = (*cache_.bounds[0])->ymax;
    }
    in.xMap = &f.xMap;
    in.yMap = &f.yMap;
    in.canvas = f.canvasRect;
    in.penWidth = style_.pen.widthF();
    in.logX = f.logX;
    in.logY = f.logY;
    return in;
}

QRect CurveItem::markRows(const Frame& f) const {
    // The rows of the area that the data's Y reach, with a row to spare on either side; the
    // whole area where they are not known from the summary (or no row is reached).
    const CollectInput in = input(f);
    if (!in.yBounded || f.logY)
        return f.area;
    const double a = f.yMap.transform(in.ymin), b = f.yMap.transform(in.ymax);
    const std::int64_t top = std::max<std::int64_t>(roundPixel(std::min(a, b)) - 1, f.area.top());
    const std::int64_t bottom =
        std::min<std::int64_t>(roundPixel(std::max(a, b)) + 1, f.area.bottom());
    if (top > bottom)
        return f.area;
    return QRect(f.area.left(), static_cast<int>(top), f.area.width(),
                 static_cast<int>(bottom - top + 1));
}

void CurveItem::collect(const Frame& f, Plane* marks) const {
    // One pass over the data finds the line's vertices and the symbols' pixels. The general
    // sorted pass learns whether the data are sorted on its way, and gives up when not.
    std::vector<QPoint>& verts = scratch().verts;
    const CollectInput in = input(f);
    using Order = CurveCache::Order;
    if (cache_.monotone == Order::Unknown)
        cache_.monotone = monotonic(in.xs, in.n) ? Order::Monotonic : Order::Unordered;
    if (cache_.monotone == Order::Monotonic) {
        collectMonotone(in, verts, marks);
        return;
    }
    Order& sorted = cache_.sorted[f.logX ? 1 : 0];
    if (sorted != Order::Unordered) {
        const Plane clean = marks != nullptr ? *marks : Plane{};
        const bool done = collectSorted(in, verts, marks);
        sorted = done ? Order::Monotonic : Order::Unordered;
        if (done)
            return;
        verts.clear();
        if (marks != nullptr)
            marks->reset(clean.rect, clean.stride, *clean.bits);
    }
    collectParametric(in, bounds(false, false), verts, marks);
}

void CurveItem::build(const Frame& f) const {
    Scratch& s = scratch();
    const SymbolStamp& stamp = cache_.stamp;
    // Every plane spans the symbols' full reach around the marked area.
    const QRect reach = f.marking ? QRect(f.area.topLeft() + stamp.offset(),
                                          QSize(f.area.width() + stamp.size().width() - 1,
                                                f.area.height() + stamp.size().height() - 1))
                                  : QRect();
    const int rowWords = f.marking ? (reach.width() + 63) / 64 + 1 : 0;
    // The plane kept for painting: the marks themselves, or their union when it is painted
    // in one go (the marks are then only a step on the way). Marks kept for painting cover
    // only the rows the data reach: a plane of a band of rows is cheaper to clear, to read
    // back and to keep than one of the whole area.
    Plane marks;
    if (f.marking)
        marks.reset(f.union_ ? f.area : markRows(f), rowWords,
                    f.union_ ? s.marks : cache_.planeBits);

    std::vector<QPoint>& verts = s.verts;
    verts.clear();
    if (f.lines) {
        collect(f, f.marking ? &marks : nullptr);
    } else if (f.marking) {
        markPoints(input(f), marks);
    }

    cache_.plane = Plane{};
    if (f.union_) {
        cache_.plane.reset(reach, rowWords, cache_.planeBits);
        stampUnion(marks, 0, marks.rect.height(), stamp.spans(), cache_.plane);
        // Only what may be written counts.
        clearOutside(cache_.plane, f.allowed);
    } else if (f.marking) {
        cache_.plane = marks;
    }

    // The vertices kept for painting, with a break wherever a segment lies wholly under the
    // symbols. Two tests, the cheap one first; the one against the symbols' union costs
    // plane work per curve, and pays only where many segments are left after the first.
    // Filtered from one scratch buffer into the other; the result is copied into the curve's
    // own drawn form, since the scratch buffers are sized for all the points and a curve
    // keeping one would cost more memory than its data.
    const int penOut = style_.pen.widthF() <= 1.0 ? 0 : penReach(style_.pen.widthF());
    const int shortest = f.marking && f.target ? 2 * (stamp.square() - penOut) + 1 : -1;
    const QPoint* result = verts.data();
    size_t resultSize = verts.size();
    size_t left = 0; // segments still to draw
    // With many segments under a union, the first pass also drops the short ones deep inside
    // it; the plane this takes costs less than walking them later.
    NearCover near;
    Plane nearPlane;
    if (f.union_ && f.lines && verts.size() > kDeepWorthwhile && shortSteps(verts)) {
        nearPlane.reset(reach, rowWords, s.near);
        erode(cache_.plane, penReach(style_.pen.widthF()) + 1 + kNearReach, nearPlane);
        near = NearCover{&nearPlane, kNearReach};
    }
    if (shortest < 1 && near.plane == nullptr) {
        left = f.union_ && f.lines ? segmentCount(verts.data(), verts.size()) : 0;
    } else {
        const auto [written, segments] =
            keepFarSegments(verts.data(), verts.size(), s.kept, f.area, shortest, near);
        result = s.kept.data();
        resultSize = written;
        left = segments;
    }
    const bool merged = f.union_ && f.lines && f.thinPen &&
                        style_.pen.color().rgba() == stamp.colour() &&
                        cache_.plane.rect.contains(f.allowed);
    const long long area = static_cast<long long>(f.allowed.width()) * f.allowed.height();
    const bool dense =
        merged && walkLength(result, resultSize, kDenseWalk * area) > kDenseWalk * area;
    if (f.union_ && f.lines && left > kDeepWorthwhile && !dense) {
        Plane deep;
        deep.reset(reach, rowWords, s.deep);
        erode(cache_.plane, penReach(style_.pen.widthF()) + 1, deep);
        // The kept runs are read from one buffer while the other takes what this test keeps.
        std::vector<QPoint>& out = result == verts.data() ? s.kept : verts;
        out.clear();
        keepSegmentsOutside(result, resultSize, out, deep);
        result = out.data();
        resultSize = out.size();
    }
    // A thin line in the symbols' own colour joins their union: its pixels become bits of the
    // plane painted in one go. Only a run the line writer leaves to the engine (a closed
    // one) is kept to be drawn as a line.
    if (merged) {
        ThinLine thin = thinLineFor(*f.target, style_.pen);
        thin.intoBits(cache_.plane.row(0), cache_.plane.stride,
                      cache_.plane.rect.translated(f.target->offset));
        cache_.drawn.clear();
        if (dense) {
            drawUncovered(result, resultSize, thin, cache_.plane, f.allowed, cache_.drawn);
            return;
        }
        forEachRun(result, resultSize, [&](const QPoint* run, int count) {
            if (!thin.polyline(run, count)) {
                cache_.drawn.push_back(breakMark());
                cache_.drawn.insert(cache_.drawn.end(), run, run + count);
            }
        });
        return;
    }
    cache_.drawn.assign(result, result + resultSize);
}

} // namespace tellurix::lumenfold::plotting::detail
