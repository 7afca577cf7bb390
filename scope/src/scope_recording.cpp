// The scope window's recording and replay: File > Record... / Open recording..., the
// status bar's recording field and the progress bar of a recording being loaded.
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>

#include "recorder.h"
#include "replay.h"

#include <tellurix/lumenfold/transport.h>

#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace tellurix::lumenfold::scope {

namespace {
// Work a replay may do per slice, on top of the live intake: the window goes on answering
// while a long recording loads (input waits at most this long), and each slice is long
// enough that the event round trip between slices costs little.
constexpr auto replay_slice = std::chrono::milliseconds(50);
// While a recording loads as fast as possible, its growing plots are redrawn this often:
// a redraw of a million-row plot costs tens of milliseconds of the loading.
constexpr qint64 loading_redraw_ms = 1000;
} // namespace

void ScopeWindow::add_recording_actions(QMenu* file) {
    QAction* open = file->addAction(tr("&Open recording..."));
    open->setShortcut(QKeySequence::Open);
    connect(open, &QAction::triggered, this, [this] {
        const QString name =
            QFileDialog::getOpenFileName(this, tr("Open recording"), QString(),
                                         tr("Lumenfold recordings (*.lfrec);;All files (*)"));
        QString error;
        if (!name.isEmpty() && !open_recording(name, options_.replay_speed, &error))
            report_error(error);
    });
    record_action_ = file->addAction(tr("&Record..."));
    connect(record_action_, &QAction::triggered, this, [this] {
        if (recording()) {
            stop_recording();
            return;
        }
        const QString name =
            QFileDialog::getSaveFileName(this, tr("Record"), QStringLiteral("scope.lfrec"),
                                         tr("Lumenfold recordings (*.lfrec)"));
        QString error;
        if (!name.isEmpty() && !start_recording(name, &error))
            report_error(error);
    });
}

void ScopeWindow::add_recording_status() {
    replay_bar_ = new QProgressBar(status_);
    replay_bar_->setObjectName(QStringLiteral("replay_progress"));
    replay_bar_->setRange(0, 1000);
    replay_bar_->setMaximumWidth(160);
    replay_bar_->hide();
    status_->addPermanentWidget(replay_bar_);
    if (recorder_)
        append_log(tr("recording into %1").arg(recorder_->file_name()));
}

void ScopeWindow::prepare_recording() {
    if (!options_.record.isEmpty())
        recorder_ = std::make_unique<Recorder>(options_.record);
}

void ScopeWindow::attach_recording(transport::ZmqQueue* queue) {
    if (!recorder_)
        return;
    if (!queue)
        throw std::runtime_error("--record: the queue is not a ZmqQueue; nothing to record");
    recorder_->attach(*queue);
}

bool ScopeWindow::start_recording(const QString& file, QString* error) {
    if (!zmq_) {
        if (error)
            *error = tr("Recording: the queue is not the scope's own; nothing to record");
        return false;
    }
    stop_recording();
    try {
        recorder_ = std::make_unique<Recorder>(*zmq_, file);
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromUtf8(e.what());
        return false;
    }
    append_log(tr("recording into %1").arg(file));
    step_recordings();
    return true;
}

bool ScopeWindow::stop_recording() {
    if (!recorder_)
        return true;
    const bool running = recorder_->poll();
    const bool whole = recorder_->stop();
    if (running)
        append_log(tr("recording stopped: %1, %2 messages, %3 bytes")
                       .arg(recorder_->file_name())
                       .arg(recorder_->messages_written())
                       .arg(recorder_->bytes_written()));
    step_recordings();
    return whole;
}

bool ScopeWindow::recording() const {
    return recorder_ && recorder_->running();
}

bool ScopeWindow::open_recording(const QString& file, double speed, QString* error) {
    try {
        replay_ = std::make_unique<Replay>(file, speed, *toolbar_, points_, traces_,
                                           [this](const QString& text) { report_error(text); });
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromUtf8(e.what());
        return false;
    }
    append_log(tr("opening %1").arg(file));
    replay_fast_ = speed <= 0;
    replay_drawn_.start();
    replay_bar_->setValue(0);
    replay_bar_->setFormat(tr("loading %p%"));
    replay_bar_->show();
    return true;
}

bool ScopeWindow::replaying() const {
    return replay_ && !replay_->done();
}

QString ScopeWindow::recording_status() const {
    return status_->field(QStringLiteral("recording"));
}

void ScopeWindow::step_replay() {
    if (!replay_ || replay_->done())
        return;
    replay_->step(replay_slice);
    replay_bar_->setValue(static_cast<int>(replay_->progress() * 1000));
    if (replay_->done()) {
        append_log(tr("opened %1: %2 items").arg(replay_->file_name()).arg(replay_->items()));
        replay_bar_->hide();
        return;
    }
    // As fast as possible: more slices between the ticks, each its own event, so that
    // input and painting still come through between them.
    if (replay_fast_ && !replay_posted_) {
        replay_posted_ = true;
        QTimer::singleShot(0, this, [this] {
            replay_posted_ = false;
            step_replay();
        });
    }
}

bool ScopeWindow::step_recordings() {
    step_replay();
    // Drawing a growing recording at every frame would cost more than loading it: while it
    // loads as fast as possible, the plots are redrawn once a second, and at the end.
    bool draw = true;
    if (replay_fast_ && replay_ && !replay_->done()) {
        draw = replay_drawn_.elapsed() >= loading_redraw_ms;
        if (draw)
            replay_drawn_.restart();
    }
    bool running = false;
    if (recorder_) {
        running = recorder_->poll();
        status_->set_field(QStringLiteral("recording"), recorder_->status_text());
        if (recorder_->take_failure())
            report_error(recorder_->status_text() + tr("; the live view goes on"));
    }
    record_action_->setText(running ? tr("Stop &recording") : tr("&Record..."));
    return draw;
}

} // namespace tellurix::lumenfold::scope
