#include "replay.h"

#include <tellurix/lumenfold/cmdpump.h>
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/transport.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace tellurix::lumenfold::scope {

/// The items of a recording as a queue. A thread of its own reads and decodes messages a
/// few ahead, so that loading uses a second core; the host's thread only applies them. A
/// message's items are handed out once its time has come (at once when not paced): empty()
/// answers true while the next message is not due, which ends the running flush until a
/// later tick.
class RecordingQueue : public host::Queue {
public:
    using Clock = std::chrono::steady_clock;

    RecordingQueue(const QString& file, double speed)
        : reader_(file)
        , speed_(speed)
        , file_(reader_.file_name())
        , size_(reader_.file_size()) {
        thread_ = std::thread([this] { run(); });
    }

    ~RecordingQueue() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        space_.notify_all();
        thread_.join();
    }

    bool empty() override {
        while (next_ >= items_.size()) {
            if (!held_) {
                std::unique_lock<std::mutex> lock(mutex_);
                // Loading as fast as possible waits a moment for the decoder rather than
                // ending the slice; paced, the next message is rarely due yet anyway.
                if (ready_.empty() && !ended_ && speed_ <= 0)
                    arrived_.wait_for(lock, std::chrono::milliseconds(5),
                                      [this] { return !ready_.empty() || ended_; });
                if (ready_.empty()) {
                    if (!ended_)
                        return true;
                    finished_ = true;
                    if (damaged_ && !error_.isEmpty()) {
                        const QString error = std::exchange(error_, QString());
                        throw std::runtime_error(error.toStdString());
                    }
                    return true;
                }
                batch_ = std::move(ready_.front());
                ready_.pop_front();
                // The items applied go back to the decoding thread to be freed there: a
                // message's values were allocated on that thread, and freeing them costs
                // the applying thread as much as applying them.
                if (!items_.empty())
                    spent_.push_back(std::move(items_));
                lock.unlock();
                space_.notify_one();
                held_ = true;
                schedule(batch_.time);
            }
            if (speed_ > 0 && Clock::now() < due_)
                return true;
            held_ = false;
            items_ = std::move(batch_.items);
            next_ = 0;
            if (!batch_.dropped.isEmpty())
                // As the live queue does: a malformed message is dropped whole, with a word.
                host::warn(QStringLiteral("Replay: the message at offset %1 is dropped: %2")
                               .arg(batch_.offset)
                               .arg(batch_.dropped));
        }
        return false;
    }

    host::Value get() override {
        if (empty())
            throw std::logic_error("RecordingQueue::get: nothing left");
        ++taken_;
        // A copy shares the payload; the original stays for the decoding thread to free.
        return items_[next_++];
    }

    bool finished() const { return finished_ && next_ >= items_.size(); }
    /// True once a record could not be read: nothing behind it is read either.
    bool damaged() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return damaged_;
    }
    /// Once finished: whether the file ends inside a record, and where that record starts.
    bool cut() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return cut_;
    }
    std::uint64_t cut_offset() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return cut_offset_;
    }
    QString file_name() const { return file_; }
    double progress() const { return size_ == 0 ? 1.0 : double(position_.load()) / double(size_); }
    std::uint64_t taken() const { return taken_; }

private:
    struct Batch {
        std::uint64_t time = 0, offset = 0;
        std::vector<host::Value> items;
        QString dropped; // why the message could not be decoded
    };
    // Decoded messages waiting; enough to keep the host busy, few enough to bound memory.
    static constexpr std::size_t max_ready = 8;

    // The decoding thread: the reader is its alone once the constructor has returned.
    void run() {
        transport::RecordingMessage message;
        for (;;) {
            bool more = false;
            try {
                more = reader_.next(message);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(mutex_);
                damaged_ = ended_ = true;
                error_ = QString::fromUtf8(e.what());
                break;
            }
            position_.store(reader_.position());
            if (!more) {
                std::lock_guard<std::mutex> lock(mutex_);
                ended_ = true;
                cut_ = reader_.cut();
                cut_offset_ = reader_.cut_offset();
                break;
            }
            Batch batch;
            batch.time = message.receive_time_ns;
            batch.offset = message.offset;
            try {
                batch.items = transport::decode(message.bytes.data(), message.bytes.size());
            } catch (const std::exception& e) {
                batch.dropped = QString::fromUtf8(e.what());
            }
            std::unique_lock<std::mutex> lock(mutex_);
            space_.wait(lock, [this] { return stop_ || ready_.size() < max_ready; });
            if (stop_)
                return;
            ready_.push_back(std::move(batch));
            std::deque<std::vector<host::Value>> spent = std::move(spent_);
            spent_.clear();
            lock.unlock();
            arrived_.notify_one();
            spent.clear(); // outside the lock
        }
        arrived_.notify_one();
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
    const double speed_;
    const QString file_;
    const std::uint64_t size_;
    std::atomic<std::uint64_t> position_{0};

    mutable std::mutex mutex_;
    std::condition_variable arrived_, space_;
    std::deque<Batch> ready_;
    std::deque<std::vector<host::Value>> spent_; // applied, to be freed by the decoder
    bool ended_ = false, damaged_ = false, cut_ = false, stop_ = false;
    std::uint64_t cut_offset_ = 0;
    QString error_;
    std::thread thread_;

    // The host's thread only.
    Batch batch_;
    std::vector<host::Value> items_;
    std::size_t next_ = 0;
    bool finished_ = false, held_ = false, started_ = false;
    Clock::time_point due_{};
    std::uint64_t last_time_ = 0, taken_ = 0;
};

host::Value EmptyQueue::get() {
    throw std::logic_error("EmptyQueue::get: the queue is always empty");
}

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
        if (queue_->cut())
            report_(QStringLiteral("Replay: %1 is cut short at byte %2; its whole messages "
                                   "before that were shown")
                        .arg(queue_->file_name())
                        .arg(queue_->cut_offset()));
    }
    return !done_;
}

double Replay::progress() const {
    return done_ ? 1.0 : queue_->progress();
}

QString Replay::file_name() const {
    return queue_->file_name();
}

std::uint64_t Replay::items() const {
    return queue_->taken();
}

} // namespace tellurix::lumenfold::scope
