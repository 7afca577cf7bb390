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

// Messages are packed into buffers of this size, so that the writing thread makes one
// write() per megabyte rather than one per message. A message longer than the room left
// continues in the next buffer: every buffer has the same size, so an emptied one always
// fits the next use.
constexpr std::size_t chunk_bytes = 1u << 20;
// Emptied buffers kept for reuse: a fresh megabyte costs 256 page faults on first touch,
// more than copying into it.
constexpr std::size_t spare_chunks = 32;

// A run of bytes on its way to the file: a buffer of ours, or a message whose bytes its
// caller lent (append_shared), kept alive by `owner` until written.
struct Segment {
    std::unique_ptr<char[]> buffer;
    std::shared_ptr<const void> owner;
    const char* data = nullptr;
    std::size_t used = 0;
    std::uint64_t messages = 0; // messages whose last byte is here
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
    std::condition_variable work;               // the writing thread waits here
    std::condition_variable drained;            // an appender over the hard bound waits here
    Segment current;                            // being filled by append()
    std::deque<Segment> full;                   // handed over, oldest first
    std::vector<std::unique_ptr<char[]>> spare; // written buffers, kept for reuse
    bool closing = false;
    bool closed = false;
    bool reported = false;
    QString error;

    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> messages{0};
    std::atomic<std::size_t> pending{0};
    std::atomic<bool> failed{false};
    std::thread thread;

    // With the lock held: `size` bytes into buffers, handing each full one over.
    void copy(const char* from, std::size_t size) {
        while (size > 0) {
            if (current.buffer == nullptr) {
                if (spare.empty()) {
                    current.buffer.reset(new char[chunk_bytes]); // not zeroed: written first
                } else {
                    current.buffer = std::move(spare.back());
                    spare.pop_back();
                }
                current.data = current.buffer.get();
            }
            const std::size_t n = std::min(size, chunk_bytes - current.used);
            std::memcpy(current.buffer.get() + current.used, from, n);
            current.used += n;
            from += n;
            size -= n;
            if (current.used == chunk_bytes)
                hand_over();
        }
    }

    void hand_over() {
        if (current.used == 0)
            return;
        full.push_back(std::move(current));
        current = Segment{};
        work.notify_one();
    }

    void keep(Segment&& done) {
        if (done.buffer != nullptr && spare.size() < spare_chunks)
            spare.push_back(std::move(done.buffer));
    }

    // With the lock held: waits while a caller that ignored has_room() would push the
    // hand-off past twice the bound; a message larger than that alone waits for an empty
    // hand-off. False when the writer stopped meanwhile.
    // Under `lock`: waits for room for a record of a message of `size` bytes and copies its
    // header in; false when recording has stopped (the failure then reported).
    bool begin_record(std::unique_lock<std::mutex>& lock, std::uint64_t receive_time_ns,
                      std::size_t size) {
        char head[recording_record_header_bytes];
        qToLittleEndian<quint64>(receive_time_ns, head);
        qToLittleEndian<quint32>(static_cast<quint32>(size), head + 8);
        if (closed || !report())
            return false;
        if (!wait_for_room(lock, sizeof head + size)) {
            report();
            return false;
        }
        copy(head, sizeof head);
        return true;
    }

    bool wait_for_room(std::unique_lock<std::mutex>& lock, std::size_t record) {
        const std::size_t hard = 2 * options.max_pending_bytes;
        if (pending.load() == 0 || pending.load() + record <= hard)
            return true;
        hand_over();
        drained.wait(lock, [&] {
            return failed.load() || pending.load() == 0 || pending.load() + record <= hard;
        });
        return !failed.load();
    }

    void run() {
        const auto interval = std::chrono::milliseconds(std::max(1, options.flush_interval_ms));
        std::unique_lock<std::mutex> lock(mutex);
        std::vector<Segment> batch;
        for (;;) {
            if (full.empty() && !closing)
                work.wait_for(lock, interval);
            // A partly filled buffer goes along, so that a slow stream reaches the file
            // within one interval.
            while (!full.empty()) {
                batch.push_back(std::move(full.front()));
                full.pop_front();
            }
            if (current.used > 0) {
                batch.push_back(std::move(current));
                current = Segment{};
            }
            if (batch.empty()) {
                if (closing)
                    return;
                continue;
            }
            lock.unlock();
            int err = 0;
            std::uint64_t written = 0, whole_messages = 0;
            std::size_t done = 0;
            for (Segment& c : batch) {
                std::uint64_t n = 0;
                err = write_all(fd, c.data, c.used, n);
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
            for (Segment& c : batch)
                keep(std::move(c));
            batch.clear();
            drained.notify_all();
        }
    }

    // With the lock held: the file cannot be written any more.
    void stop(int err) {
        error = QString::fromLocal8Bit(std::strerror(err));
        full.clear();
        current = Segment{};
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
    if (!s.begin_record(lock, receive_time_ns, size))
        return false;
    s.copy(data, size);
    // The message's last byte is in the buffer being filled, or ended the one just handed.
    (s.current.used > 0 ? s.current : s.full.back()).messages += 1;
    s.pending.fetch_add(record);
    return true;
}

bool RecordingWriter::append_shared(std::uint64_t receive_time_ns,
                                    std::shared_ptr<const void> owner, const char* data,
                                    std::size_t size) {
    State& s = *state_;
    if (size < shared_threshold_bytes)
        return append(receive_time_ns, data, size);
    if (size > max_recorded_message_bytes)
        throw std::invalid_argument("RecordingWriter::append_shared: message of more than 4 GiB");
    const std::size_t record = recording_record_header_bytes + size;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.begin_record(lock, receive_time_ns, size))
        return false;
    s.hand_over();
    Segment lent;
    lent.owner = std::move(owner);
    lent.data = data;
    lent.used = size;
    lent.messages = 1;
    s.full.push_back(std::move(lent));
    s.work.notify_one();
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
