// The scope window's status bar: what it shows and when, and Pause/Run.
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>

#include "window_parts.h"

#include <tellurix/lumenfold/transport.h>

#include <QAction>
#include <QToolButton>

#include <chrono>

namespace tellurix::lumenfold::scope {

namespace {

QString mebibytes(std::size_t bytes) {
    return QString::number(double(bytes) / double(1 << 20), 'f', 1);
}

} // namespace

void ScopeWindow::build_status_bar() {
    status_ = new StatusBar(this);
    setStatusBar(status_);
    add_recording_status();
    auto* pause = new QToolButton(status_);
    pause->setObjectName(QStringLiteral("pause"));
    pause->setDefaultAction(pause_action_);
    status_->addPermanentWidget(pause); // last: where the hand finds it, at the corner
    status_->set_field(QStringLiteral("endpoint"), endpoint_);
    update_status();
}

void ScopeWindow::set_paused(bool paused) {
    if (paused == paused_)
        return;
    paused_ = paused;
    taken_at_pause_ = queue_->taken();
    if (pause_action_->isChecked() != paused)
        pause_action_->setChecked(paused);
    pause_action_->setText(paused ? tr("&Run") : tr("&Pause"));
    if (!paused)
        redraw(); // the newest state at once, not one frame later
    update_status();
}

std::uint64_t ScopeWindow::items_since_pause() const {
    return paused_ ? queue_->taken() - taken_at_pause_ : 0;
}

void ScopeWindow::update_status() {
    // The rate over half a second or more, so that it reads steadily.
    if (rate_clock_.elapsed() >= 500 || rate_text_.isEmpty()) {
        const double seconds = static_cast<double>(rate_clock_.restart()) / 1000.0;
        const std::uint64_t taken = queue_->taken();
        if (seconds > 0)
            rate_ = double(taken - rate_items_) / seconds;
        rate_items_ = taken;
        rate_text_ = tr("%1 items/s").arg(rate_, 0, 'f', 0);
        status_->set_field(QStringLiteral("rate"), rate_text_);
    }
    status_->set_field(QStringLiteral("paused"),
                       paused_ ? tr("paused, %1 items applied since").arg(items_since_pause())
                               : QString());
    if (auto* zmq = dynamic_cast<transport::ZmqQueue*>(&queue_->inner())) {
        status_->set_field(
            QStringLiteral("backlog"),
            tr("backlog %1, %2 MiB").arg(zmq->backlog_items()).arg(mebibytes(zmq->backlog_bytes())),
            tr("Items and MiB received and not yet applied"));
        const auto held = zmq->held_back_for();
        if (held > std::chrono::seconds(1) && !held_back_warned_) {
            held_back_warned_ = true;
            on_warning(tr("a producer has been held back for %1 s: the scope applies "
                          "commands more slowly than they arrive")
                           .arg(double(held.count()) / 1000.0, 0, 'f', 1));
        } else if (held == std::chrono::milliseconds::zero()) {
            held_back_warned_ = false;
        }
    }
    // Short, so that it fits beside the others at the window's narrowest; the caps are in
    // the tooltip.
    const std::size_t bytes = points_.bytes_held() + traces_.bytes_held();
    status_->set_field(
        QStringLiteral("held"),
        tr("held %1 rows, %2 traces, %3 MiB")
            .arg(points_.rows_held())
            .arg(traces_.generation_count())
            .arg(mebibytes(bytes)),
        tr("Points: %1 of %2 rows; traces: %3 of %4; memory: %5 of %6 MiB (--max-memory)")
            .arg(points_.rows_held())
            .arg(points_.max_rows())
            .arg(traces_.generation_count())
            .arg(traces_.max_traces())
            .arg(mebibytes(bytes), mebibytes(points_.max_bytes() + traces_.max_bytes())));
    QString warn = tr("warnings %1").arg(warnings_);
    if (zmq_ && options_.secure)
        warn += tr(", refused producers %1").arg(zmq_->refused_producers());
    if (errors_ > 0)
        warn += tr(", errors %1").arg(errors_);
    if (hidden_pairs_ > 0)
        warn += tr(", %1 pairs without a plot (--plots)").arg(hidden_pairs_);
    status_->set_field(QStringLiteral("log"), warn);
}

} // namespace tellurix::lumenfold::scope
