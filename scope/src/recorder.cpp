#include "recorder.h"

#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/transport.h>

#include <QFile>
#include <QFileInfo>

namespace tellurix::lumenfold::scope {

Recorder::Recorder(transport::ZmqQueue& queue, const QString& file)
    : Recorder(file) {
    attach(queue);
}

Recorder::Recorder(const QString& file)
    : writer_(std::make_shared<transport::RecordingWriter>(file)) {}

void Recorder::attach(transport::ZmqQueue& queue) {
    queue_ = &queue;
    std::shared_ptr<transport::RecordingWriter> writer = writer_;
    queue_->set_tap([writer](const char* data, std::size_t size, std::int64_t time_ns) {
        // A failure is reported by the writer itself (once); the stream goes on.
        writer->append(static_cast<std::uint64_t>(time_ns), data, size);
    });
}

Recorder::~Recorder() {
    stop();
    if (!queue_)
        QFile::remove(writer_->file_name());
}

bool Recorder::stop() {
    if (!stopped_) {
        stopped_ = true;
        if (queue_)
            queue_->set_tap({});
    }
    return writer_->close();
}

bool Recorder::poll() {
    if (stopped_)
        return false;
    if (writer_->check())
        return true;
    // The writer has given up: leave the queue alone from now on.
    failure_seen_ = true;
    stop();
    return false;
}

bool Recorder::running() const {
    return !stopped_ && !writer_->stopped();
}

bool Recorder::take_failure() {
    if (!failure_seen_ || failure_taken_)
        return false;
    failure_taken_ = true;
    return true;
}

bool Recorder::failed() const {
    return writer_->stopped();
}

QString Recorder::reason() const {
    return writer_->error();
}

QString Recorder::file_name() const {
    return writer_->file_name();
}

std::uint64_t Recorder::bytes_written() const {
    return writer_->bytes_written();
}

std::uint64_t Recorder::messages_written() const {
    return writer_->messages_written();
}

QString Recorder::status_text() const {
    const QString name = QFileInfo(writer_->file_name()).fileName();
    const QString size =
        QString::number(double(writer_->bytes_written()) / double(1 << 20), 'f', 1);
    if (failed())
        return QStringLiteral("recording stopped: %1 (%2 MiB): %3").arg(name, size, reason());
    if (stopped_)
        return QStringLiteral("recorded %1: %2 MiB").arg(name, size);
    return QStringLiteral("recording %1: %2 MiB").arg(name, size);
}

} // namespace tellurix::lumenfold::scope
