// Opening a recording in the scope: its messages are decoded as live ones are and go
// through a CmdPump of their own into the scope's toolbar and datasets, a slice per tick,
// so the window stays responsive while a long recording loads.
#pragma once

#include <tellurix/lumenfold/host.h>

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace tellurix::lumenfold {
namespace toolbar {
class ToolBar;
}
namespace cmdpump {
class CmdPump;
}
} // namespace tellurix::lumenfold

namespace tellurix::lumenfold::scope {

class RecordingQueue;

/// A queue that never holds anything: the live side of a scope that only shows a
/// recording.
class EmptyQueue : public host::Queue {
public:
    bool empty() override { return true; }
    host::Value get() override;
};

class Replay {
public:
    /// Called with each problem met on the way: a rejected command, a damaged record, a
    /// recording cut short.
    using Report = std::function<void(const QString& text)>;

    /// Opens `file`. `speed` 0 replays as fast as possible; X > 0 at X times the recorded
    /// pace. Throws std::runtime_error for a file that is no readable recording.
    Replay(const QString& file, double speed, toolbar::ToolBar& toolbar,
           host::Dataset& point_dataset, host::Dataset& trace_dataset, Report report);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    /// Applies what is due within `budget`. False once the whole recording is applied.
    bool step(std::chrono::nanoseconds budget);
    bool done() const { return done_; }
    /// How much of the file has been read, 0 to 1.
    double progress() const;
    QString file_name() const;
    std::uint64_t items() const;

private:
    std::unique_ptr<RecordingQueue> queue_;
    std::unique_ptr<cmdpump::CmdPump> pump_;
    Report report_;
    bool done_ = false;
};

} // namespace tellurix::lumenfold::scope
