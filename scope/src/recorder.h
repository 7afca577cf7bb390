// Recording what the scope's command queue receives: the queue's receiving thread hands each
// data message to a RecordingWriter, whose own thread writes it, so neither the GUI thread
// nor the intake waits for the disk.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>

namespace tellurix::lumenfold::transport {
class RecordingWriter;
class ZmqQueue;
} // namespace tellurix::lumenfold::transport

namespace tellurix::lumenfold::scope {

class Recorder {
public:
    /// Creates `file` and records every data message `queue` receives from now on. Throws
    /// std::runtime_error when the file cannot be created.
    Recorder(transport::ZmqQueue& queue, const QString& file);
    /// Creates `file` only; attach() starts recording. So a queue can be hooked in right
    /// after it binds, with the file already made.
    explicit Recorder(const QString& file);
    void attach(transport::ZmqQueue& queue);
    /// Stops as stop() does. A recording never attached to a queue removes its file: it
    /// never began.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    /// Detaches from the queue, writes what is pending and closes the file. True when
    /// everything received reached the file. Idempotent.
    bool stop();
    /// For the scope's tick: notices a failure of the writer (reported once on
    /// host::warn). False once recording has stopped for whatever reason.
    bool poll();

    /// True while messages are recorded (not stopped, not failed).
    bool running() const;
    /// True once, at the first poll() that found writing failed.
    bool take_failure();
    /// True once writing failed; reason() says why.
    bool failed() const;
    QString reason() const;
    QString file_name() const;
    std::uint64_t bytes_written() const;
    std::uint64_t messages_written() const;
    /// For the status bar: "recording FILE: 12.3 MiB", or why it stopped.
    QString status_text() const;

private:
    transport::ZmqQueue* queue_ = nullptr;
    // Shared with the tap: a round of the receiving thread may still hold the tap for a
    // moment after it is removed, and must find the writer alive (and closed).
    std::shared_ptr<transport::RecordingWriter> writer_;
    bool stopped_ = false, failure_seen_ = false, failure_taken_ = false;
};

} // namespace tellurix::lumenfold::scope
