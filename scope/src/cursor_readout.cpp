#include <tellurix/lumenfold/scope/cursor_readout.h>
#include <tellurix/lumenfold/scope/readout.h>

#include <tellurix/lumenfold/chartpane.h>

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace tellurix::lumenfold::scope {

namespace {

// The marker: a ring that reads on any background and any curve colour (white inside
// black), over a picture of the canvas as it was drawn. Moving a ring over the canvas itself
// would have the canvas repaint what the ring uncovers, which with millions of points costs
// as much as a frame; over the picture a move repaints two small squares of it. The other
// children of the canvas (the legend) stay above it.
class Overlay : public QWidget {
public:
    static constexpr int ring_size = 13;

    explicit Overlay(QWidget* canvas)
        : QWidget(canvas) {
        setObjectName(QStringLiteral("hover-marker"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_OpaquePaintEvent);
        hide();
    }

    void set_picture(const QPixmap& picture) {
        picture_ = picture;
        update();
    }

    void ring_at(QPoint p) {
        if (isVisible() && p == ring_)
            return;
        if (isVisible())
            update(ring_rect());
        ring_ = p;
        if (isVisible()) {
            update(ring_rect());
            return;
        }
        setGeometry(parentWidget()->rect());
        lower();
        show();
    }
    QPoint ring() const { return ring_; }

    void drop() {
        hide();
        picture_ = QPixmap();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawPixmap(0, 0, picture_);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF ring = QRectF(ring_rect()).adjusted(2.5, 2.5, -2.5, -2.5);
        painter.setPen(QPen(Qt::white, 4));
        painter.drawEllipse(ring);
        painter.setPen(QPen(Qt::black, 1.5));
        painter.drawEllipse(ring);
    }

private:
    QRect ring_rect() const {
        return QRect(ring_ - QPoint(ring_size / 2, ring_size / 2), QSize(ring_size, ring_size));
    }

    QPixmap picture_;
    QPoint ring_;
};

QString value_text(const QString& axis, const QString& format, double value, double step) {
    const QString name = format.isEmpty() || format == QLatin1String("real")
                             ? axis
                             : QStringLiteral("%1 (%2)").arg(axis, format);
    return QStringLiteral("%1 = %2").arg(name, resolved_text(value, step));
}

// What one pixel is worth at canvas position p: on a log axis this grows with the value.
double pixel_step(const QwtScaleMap& map, double p) {
    return std::fabs(map.invTransform(p + 1) - map.invTransform(p));
}

std::array<double, 4> map_key(const QwtScaleMap& m) {
    return {m.s1(), m.s2(), m.p1(), m.p2()};
}

} // namespace

bool CursorReadout::marker_shown() const {
    return marker_ && marker_->isVisible();
}

QPoint CursorReadout::marker_at() const {
    return marker_ ? static_cast<const Overlay*>(marker_.data())->ring() : QPoint();
}

bool CursorReadout::Drawing::same_as(const Drawing& other) const {
    if (maps != other.maps || canvas != other.canvas || log_x != other.log_x ||
        log_y != other.log_y || keys != other.keys || x.size() != other.x.size())
        return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i].constData() != other.x[i].constData() || x[i].size() != other.x[i].size() ||
            y[i].constData() != other.y[i].constData() || y[i].size() != other.y[i].size())
            return false;
    return true;
}

CursorReadout::CursorReadout(chartpane::PlotWidget* plot, Namer namer)
    : QObject(plot)
    , plot_(plot)
    , namer_(std::move(namer)) {
    setObjectName(QStringLiteral("cursor-readout"));
    canvas_ = plot_->canvas();
    marker_ = new Overlay(canvas_);
    canvas_->setMouseTracking(true); // moves with no button held
    canvas_->installEventFilter(this);
    refresh_.setSingleShot(true);
    connect(&refresh_, &QTimer::timeout, this, [this] {
        if (inside_)
            probe();
    });
    // The marker's picture hides the canvas's own repaints: a new drawing (data, a zoom by
    // wheel or key, the fit) is looked for while it shows, and takes the picture away.
    check_.setInterval(50);
    connect(&check_, &QTimer::timeout, this, [this] {
        if (built_ && !drawn_.same_as(current()))
            stale();
    });
}

CursorReadout::Drawing CursorReadout::current() const {
    Drawing d;
    const QList<plotting::Curve*> curves = plot_->curves(); // in drawing order
    for (plotting::Curve* curve : curves) {
        const plotting::CurveStyle& style = curve->style();
        if (style.pen.style() == Qt::NoPen && style.symbolSize <= 0)
            continue; // draws nothing
        const auto named = std::find_if(plot_->plots.begin(), plot_->plots.end(),
                                        [curve](const auto& kv) { return kv.second == curve; });
        d.keys.push_back(named == plot_->plots.end() ? -1 : named->first);
        d.x.push_back(curve->xData());
        d.y.push_back(curve->yData());
    }
    const QwtScaleMap xm = plot_->canvasMap(QwtPlot::xBottom);
    const QwtScaleMap ym = plot_->canvasMap(QwtPlot::yLeft);
    const auto kx = map_key(xm), ky = map_key(ym);
    std::copy(kx.begin(), kx.end(), d.maps.begin());
    std::copy(ky.begin(), ky.end(), d.maps.begin() + 4);
    d.canvas = canvas_->size();
    d.log_x = xm.transformation() != nullptr;
    d.log_y = ym.transformation() != nullptr;
    return d;
}

bool CursorReadout::eventFilter(QObject* watched, QEvent* event) {
    if (watched != canvas_)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto* e = static_cast<QMouseEvent*>(event);
        if (e->buttons() != Qt::NoButton) {
            // A drag pans or zooms: the point under the cursor is not what it is about.
            refresh_.stop();
            set_readout({}, {});
            break;
        }
        inside_ = true;
        at_ = e->localPos();
        probe();
        break;
    }
    case QEvent::Leave:
    case QEvent::Hide:
        inside_ = false;
        refresh_.stop();
        set_readout({}, {});
        forget();
        break;
    case QEvent::Paint:
    case QEvent::Resize:
        if (built_ && !drawn_.same_as(current()))
            stale();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CursorReadout::stale() {
    // Drawn over new data, a new view or a new size: the index no longer matches what is
    // drawn. Its memory (and its hold on the curves' old data) goes now; the readout follows
    // the new drawing if the cursor rests on the canvas.
    forget();
    if (inside_ && !refresh_.isActive()) {
        const qint64 wait_ns = std::max<qint64>(0, 4 * build_ns_ - since_build_.nsecsElapsed());
        refresh_.start(static_cast<int>(wait_ns / 1'000'000));
    }
}

void CursorReadout::probe() {
    if (built_ && !drawn_.same_as(current()))
        forget();
    if (!built_) {
        const qint64 since = since_build_.isValid() ? since_build_.nsecsElapsed() : 0;
        if (since_build_.isValid() && since < 4 * build_ns_) {
            if (!refresh_.isActive())
                refresh_.start(static_cast<int>((4 * build_ns_ - since) / 1'000'000) + 1);
            return;
        }
        rebuild(current());
    }
    if (const auto hit = index_.nearest(at_))
        show(*hit);
    else
        set_readout({}, {});
}

void CursorReadout::rebuild(Drawing drawing) {
    QElapsedTimer clock;
    clock.start();
    std::vector<HoverIndex::Series> series;
    series.reserve(drawing.x.size());
    for (std::size_t i = 0; i < drawing.x.size(); ++i)
        series.push_back(
            {drawing.x[i].constData(), drawing.y[i].constData(),
             static_cast<std::size_t>(std::min(drawing.x[i].size(), drawing.y[i].size()))});
    index_.build(series, plot_->canvasMap(QwtPlot::xBottom), plot_->canvasMap(QwtPlot::yLeft),
                 drawing.canvas);
    drawn_ = std::move(drawing);
    built_ = true;
    ++builds_;
    // The canvas alone, as drawn now (its children draw themselves above the marker).
    const qreal ratio = canvas_->devicePixelRatioF();
    QPixmap picture(drawn_.canvas * ratio);
    picture.setDevicePixelRatio(ratio);
    picture.fill(Qt::white);
    canvas_->render(&picture, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    // Qt 5's QPixmap has no move constructor; the copy only shares the pixels.
    static_cast<Overlay*>(marker_.data())->set_picture(picture);
    build_ns_ = clock.nsecsElapsed();
    since_build_.start();
}

void CursorReadout::show(const HoverIndex::Hit& hit) {
    const auto s = static_cast<std::size_t>(hit.series);
    // Read through at(): a non-const [] would detach the held copy from the curve's data.
    const double x = drawn_.x[s].at(static_cast<int>(hit.point));
    const double y = drawn_.y[s].at(static_cast<int>(hit.point));
    const Names names = namer_ ? namer_(drawn_.keys[s]) : Names{};
    const QString curve = names.curve.isEmpty() ? tr("curve %1").arg(drawn_.keys[s]) : names.curve;
    const QwtScaleMap xm = plot_->canvasMap(QwtPlot::xBottom);
    const QwtScaleMap ym = plot_->canvasMap(QwtPlot::yLeft);
    const QString text =
        QStringLiteral("%1: %2, %3")
            .arg(curve,
                 value_text(QStringLiteral("x"), names.x_format, x, pixel_step(xm, hit.pixel.x())),
                 value_text(QStringLiteral("y"), names.y_format, y, pixel_step(ym, hit.pixel.y())));
    const QString tooltip = tr("%1, point %2 of %3: x = %4, y = %5")
                                .arg(curve)
                                .arg(hit.point)
                                .arg(drawn_.x[s].size())
                                .arg(resolved_text(x, 0), resolved_text(y, 0));
    static_cast<Overlay*>(marker_.data())
        ->ring_at(QPoint(static_cast<int>(std::lround(hit.pixel.x())),
                         static_cast<int>(std::lround(hit.pixel.y()))));
    check_.start();
    set_readout(text, tooltip);
}

void CursorReadout::set_readout(const QString& text, const QString& tooltip) {
    if (text.isEmpty()) {
        check_.stop();
        if (marker_)
            marker_->hide();
    }
    if (text == text_ && tooltip == tooltip_)
        return;
    text_ = text;
    tooltip_ = tooltip;
    emit changed(text_, tooltip_);
}

void CursorReadout::forget() {
    if (!built_)
        return;
    built_ = false;
    check_.stop();
    if (marker_)
        static_cast<Overlay*>(marker_.data())->drop();
    index_.clear();
    drawn_ = Drawing{};
}

} // namespace tellurix::lumenfold::scope
