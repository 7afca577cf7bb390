#include "tick_spacing.h"

#include <tellurix/lumenfold/plotting.h>

#include <qwt_scale_widget.h>

#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <stdexcept>

namespace tellurix::lumenfold::scope {

namespace {

class TickSpacing : public QObject {
public:
    explicit TickSpacing(plotting::PlotWidgetBase* plot)
        : QObject(plot)
        , plot_(plot)
        , canvas_(plot->canvas())
        , most_(plot->axisMaxMajor(QwtPlot::yLeft)) {
        canvas_->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // After the layout has run: changing the ticks changes the axis and so the layout.
        // The canvas is compared as kept: while the plot is torn down its events still come
        // here, after the plot's own parts are gone.
        if (watched == canvas_ && event->type() == QEvent::Resize && !pending_) {
            pending_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    pending_ = false;
                    adjust();
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void adjust() {
        const int label = plot_->axisWidget(QwtPlot::yLeft)->fontMetrics().height();
        const int room = plot_->canvas()->height() / std::max(1, label * 3 / 2);
        const int want = std::clamp(room, 1, most_);
        if (plot_->axisMaxMajor(QwtPlot::yLeft) == want)
            return;
        plot_->setAxisMaxMajor(QwtPlot::yLeft, want);
        // The ticks are laid out when a view is shown: the same view again, following the
        // data as it did.
        plotting::ViewBox* vb = plot_->plotItem()->vb();
        const bool fit = vb->autoRangeEnabled(), pan = vb->autoPanEnabled();
        try {
            vb->setRange(vb->viewRange());
        } catch (const std::invalid_argument&) {
            return; // a view the axes cannot show again keeps its ticks until the next one
        }
        if (fit)
            vb->enableAutoRange();
        else if (pan)
            vb->setAutoPan();
    }

    plotting::PlotWidgetBase* plot_;
    QPointer<QWidget> canvas_;
    int most_;
    bool pending_ = false;
};

} // namespace

void keep_tick_labels_apart(plotting::PlotWidgetBase* plot) {
    new TickSpacing(plot);
}

} // namespace tellurix::lumenfold::scope
