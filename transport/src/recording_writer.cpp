#include <tellurix/lumenfold/recording.h>

#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace tellurix::lumenfold::transport {

std::uint64_t recording_clock_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

namespace {

// Small messages are packed into buffers of this size, so that the writing thread makes
// one write() per megabyte rather than one per message.
constexpr std::size_t chunk_bytes = 1u << 20;
// Emptied buffers kept for reuse: a fresh megabyte costs page faults on first touch.
constexpr std::size_t spare_chunk_bytes = 16u << 20;

struct Chunk {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::uint64_t messages = 0;
};

// 0 on success, else the errno of the failed write.
int write_all(int fd, const char* data, std::size_t size, std::uint64_t& written) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        written += static_cast<std::uint64_t>(n);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

struct RecordingWriter::State {
    QString file;
    Options options;
    int fd = -1;

    std::mutex mutex;
    std::condition_variable work;    // the writing thread waits here
    std::condition_variable drained; // an appender over the hard bound waits here
    Chunk current;                   // being filled by append()
    std::deque<Chunk> full;          // handed over, oldest first
    std::vector<Chunk> spare;        // written, kept for reuse
    std::size_t spare_bytes = 0;
    bool closing = false;
    bool closed = false;
    bool reported = false;
    QString error;

    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> messages{0};
    std::atomic<std::size_t> pending{0};
    std::atomic<bool> failed{false};
    std::thread thread;

    Chunk take_chunk(std::size_t need) {
        for (auto it = spare.begin(); it != spare.end(); ++it) {
            if (it->capacity >= need) {
                Chunk c = std::move(*it);
                spare.erase(it);
                spare_bytes -= c.capacity;
                c.used = 0;
                c.messages = 0;
                return c;
            }
        }
        Chunk c;
        c.capacity = std::max(need, chunk_bytes);
        c.data.reset(new char[c.capacity]); // not zeroed: every byte used is written first
        return c;
    }

    void keep_chunk(Chunk&& c) {
        if (spare_bytes + c.capacity > spare_chunk_bytes)
            return;
        spare_bytes += c.capacity;
        spare.push_back(std::move(c));
    }

    void run() {
        const auto interval = std::chrono::milliseconds(std::max(1, options.flush_interval_ms));
        std::unique_lock<std::mutex> lock(mutex);
        std::vector<Chunk> batch;
        for (;;) {
            if (full.empty() && !closing)
                work.wait_for(lock, interval);
            // A partly filled buffer goes along, so that a slow stream reaches the file
            // within one interval.
            while (!full.empty()) {
                batch.push_back(std::move(full.front()));
                full.pop_front();
            }
            if (current.used > 0)
                batch.push_back(std::move(current)), current = Chunk{};
            if (batch.empty()) {
                if (closing)
                    return;
                continue;
            }
            lock.unlock();
            int err = 0;
            std::uint64_t written = 0, whole_messages = 0;
            std::size_t done = 0;
            for (Chunk& c : batch) {
                std::uint64_t n = 0;
                err = write_all(fd, c.data.get(), c.used, n);
                written += n;
                if (err != 0)
                    break;
                whole_messages += c.messages;
                done += c.used;
            }
            bytes.fetch_add(written);
            messages.fetch_add(whole_messages);
            lock.lock();
            if (err != 0) {
                stop(err);
                batch.clear();
                return;
            }
            pending.fetch_sub(done);
            for (Chunk& c : batch)
                keep_chunk(std::move(c));
            batch.clear();
            drained.notify_all();
        }
    }

    // With the lock held: the file cannot be written any more.
    void stop(int err) {
        error = QString::fromLocal8Bit(std::strerror(err));
        full.clear();
        current = Chunk{};
        pending.store(0);
        failed.store(true);
        drained.notify_all();
    }

    // With the lock held, on the calling thread: the one report of a failure.
    bool report() {
        if (!failed.load())
            return true;
        if (!reported) {
            reported = true;
            host::warn(QStringLiteral("Recording: stopped: %1: %2").arg(file, error));
        }
        return false;
    }
};

RecordingWriter::RecordingWriter(const QString& file)
    : RecordingWriter(file, Options{}) {}

RecordingWriter::RecordingWriter(const QString& file, const Options& options)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.file = file;
    s.options = options;
    const QByteArray path = file.toLocal8Bit();
    s.fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (s.fd < 0) {
        const int err = errno;
        throw std::runtime_error(QStringLiteral("RecordingWriter: %1: %2")
                                     .arg(file, QString::fromLocal8Bit(std::strerror(err)))
                                     .toStdString());
    }
    char header[recording_header_bytes] = {};
    std::memcpy(header, recording_magic, sizeof recording_magic);
    qToLittleEndian<quint32>(recording_version, header + 8);
    std::uint64_t written = 0;
    if (const int err = write_all(s.fd, header, sizeof header, written)) {
        ::close(s.fd);
        throw std::runtime_error(QStringLiteral("RecordingWriter: %1: %2")
                                     .arg(file, QString::fromLocal8Bit(std::strerror(err)))
                                     .toStdString());
    }
    s.bytes.store(written);
    s.thread = std::thread([&s] { s.run(); });
}

RecordingWriter::~RecordingWriter() {
    close();
}

bool RecordingWriter::append(std::uint64_t receive_time_ns, const char* data, std::size_t size) {
    State& s = *state_;
    if (size > max_recorded_message_bytes)
        throw std::invalid_argument("RecordingWriter::append: message of more than 4 GiB");
    const std::size_t record = recording_record_header_bytes + size;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.closed || !s.report())
        return false;
    // The hard bound: only a caller that ignored has_room() gets here, and it waits for
    // the disk rather than lose the message or grow without end.
    const std::size_t hard = 2 * s.options.max_pending_bytes;
    if (s.pending.load() > 0 && s.pending.load() + record > hard) {
        s.work.notify_one();
        // A message larger than the bound alone waits for an empty hand-off.
        s.drained.wait(lock, [&] {
            return s.failed.load() || s.pending.load() == 0 || s.pending.load() + record <= hard;
        });
        if (!s.report())
            return false;
    }
    if (s.current.capacity - s.current.used < record) {
        if (s.current.used > 0) {
            s.full.push_back(std::move(s.current));
            s.work.notify_one();
        }
        s.current = s.take_chunk(record);
    }
    char* at = s.current.data.get() + s.current.used;
    qToLittleEndian<quint64>(receive_time_ns, at);
    qToLittleEndian<quint32>(static_cast<quint32>(size), at + 8);
    if (size > 0)
        std::memcpy(at + recording_record_header_bytes, data, size);
    s.current.used += record;
    ++s.current.messages;
    s.pending.fetch_add(record);
    return true;
}

bool RecordingWriter::has_room() const noexcept {
    return state_->pending.load(std::memory_order_relaxed) < state_->options.max_pending_bytes;
}

bool RecordingWriter::check() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->report();
}

bool RecordingWriter::close() {
    State& s = *state_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.closed)
            return !s.failed.load();
        s.closed = true;
        s.closing = true;
    }
    s.work.notify_one();
    s.thread.join();
    const int rc = ::close(s.fd);
    const int err = errno;
    if (rc != 0 && err != EINTR && !s.failed.load()) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stop(err);
    }
    s.fd = -1;
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.report();
}

QString RecordingWriter::file_name() const {
    return state_->file;
}

std::uint64_t RecordingWriter::bytes_written() const noexcept {
    return state_->bytes.load();
}

std::uint64_t RecordingWriter::messages_written() const noexcept {
    return state_->messages.load();
}

std::size_t RecordingWriter::pending_bytes() const noexcept {
    return state_->pending.load();
}

bool RecordingWriter::stopped() const noexcept {
    return state_->failed.load();
}

QString RecordingWriter::error() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->error;
}

} // namespace tellurix::lumenfold::transport
