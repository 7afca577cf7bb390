#include "replay.h"

#include <tellurix/lumenfold/cmdpump.h>
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/transport.h>

#include <stdexcept>
#include <vector>

namespace tellurix::lumenfold::scope {

/// The items of a recording as a queue: a message is read when the one before it is used
/// up, and decoded once its time has come (at once when not paced). empty() answers true
/// while the next message is not due, which ends the running flush until a later tick.
class RecordingQueue : public host::Queue {
public:
    using Clock = std::chrono::steady_clock;

    RecordingQueue(const QString& file, double speed)
        : reader_(file)
        , speed_(speed) {}

    bool empty() override {
        while (next_ >= items_.size()) {
            if (!held_) {
                if (finished_ || !read_next()) {
                    finished_ = true;
                    return true;
                }
                held_ = true;
                schedule(message_.receive_time_ns);
            }
            if (speed_ > 0 && Clock::now() < due_)
                return true;
            held_ = false;
            items_.clear();
            next_ = 0;
            try {
                items_ = transport::decode(message_.bytes.data(), message_.bytes.size());
            } catch (const std::exception& e) {
                // As the live queue does: a malformed message is dropped whole, with a word.
                host::warn(QStringLiteral("Replay: the message at offset %1 is dropped: %2")
                               .arg(message_.offset)
                               .arg(QString::fromUtf8(e.what())));
            }
        }
        return false;
    }

    host::Value get() override {
        if (empty())
            throw std::logic_error("RecordingQueue::get: nothing left");
        ++taken_;
        return std::move(items_[next_++]);
    }

    bool finished() const { return finished_ && next_ >= items_.size(); }
    /// True once a record could not be read: nothing behind it is read either.
    bool damaged() const { return damaged_; }
    const transport::RecordingReader& reader() const { return reader_; }
    std::uint64_t taken() const { return taken_; }

private:
    bool read_next() {
        try {
            return reader_.next(message_);
        } catch (...) {
            damaged_ = finished_ = true;
            throw;
        }
    }

    // The first message is due at once; each later one after the difference of receive
    // times (divided by the speed) from the one before. A clock step back costs no wait.
    void schedule(std::uint64_t t) {
        if (speed_ <= 0)
            return;
        const auto now = Clock::now();
        if (!started_) {
            started_ = true;
            due_ = now;
        } else if (t > last_time_) {
            due_ += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::nano>(double(t - last_time_) / speed_));
        }
        last_time_ = t;
    }

    transport::RecordingReader reader_;
    double speed_;
    transport::RecordingMessage message_;
    std::vector<host::Value> items_;
    std::size_t next_ = 0;
    bool finished_ = false, held_ = false, started_ = false, damaged_ = false;
    Clock::time_point due_{};
    std::uint64_t last_time_ = 0, taken_ = 0;
};

Replay::Replay(const QString& file, double speed, toolbar::ToolBar& toolbar,
               host::Dataset& point_dataset, host::Dataset& trace_dataset, Report report)
    : queue_(std::make_unique<RecordingQueue>(file, speed))
    , pump_(std::make_unique<cmdpump::CmdPump>(*queue_, toolbar, point_dataset, trace_dataset))
    , report_(std::move(report)) {}

Replay::~Replay() = default;

bool Replay::step(std::chrono::nanoseconds budget) {
    if (done_)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + budget;
    // The time budget is what bounds the work, not a count of items.
    constexpr std::size_t max_items = std::size_t(1) << 40;
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        try {
            if (!pump_->flush(max_items, std::max<std::chrono::nanoseconds>(left, {})) ||
                left <= std::chrono::nanoseconds::zero())
                break;
        } catch (const std::exception& e) {
            // A rejected command (the datasets or the toolbar threw): the item is out of
            // the queue and the replay goes on with the next one, as live. A record that
            // cannot be read ends it: nothing behind it can be trusted.
            report_(QStringLiteral("Replay: %1").arg(QString::fromUtf8(e.what())));
            if (queue_->damaged()) {
                done_ = true;
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
        }
    }
    if (queue_->finished()) {
        done_ = true;
        if (queue_->reader().cut())
            report_(QStringLiteral("Replay: %1 is cut short at byte %2; its whole messages "
                                   "before that were shown")
                        .arg(queue_->reader().file_name())
                        .arg(queue_->reader().cut_offset()));
    }
    return !done_;
}

double Replay::progress() const {
    const auto& r = queue_->reader();
    if (done_ || r.file_size() == 0)
        return 1.0;
    return double(r.position()) / double(r.file_size());
}

QString Replay::file_name() const {
    return queue_->reader().file_name();
}

std::uint64_t Replay::items() const {
    return queue_->taken();
}

} // namespace tellurix::lumenfold::scope
