// Lumenfold recordings: the messages a command queue received, kept in a file exactly as
// they came off the wire, each with its receive time, so that a run can be replayed,
// opened again or handed to another tool. docs/recording-format.md describes the bytes.
//
// How a host hooks recording into its receive path (one writer, one thread):
//   - for every message received, `writer.append(recording_clock_ns(), data, size)` with
//     the wire bytes unchanged, before or after decoding them (a malformed message is
//     recorded too: the recording keeps what arrived, not what was understood); for
//     large messages append_shared() hands the received buffer over without a copy;
//   - before letting producers send more (granting credit, reading the socket again),
//     `writer.has_room()`: false means the disk is behind and the host should hold the
//     producers back rather than let the hand-off grow;
//   - now and then (a status timer) `writer.check()`, which reports a failure once.
// Replay reads messages with RecordingReader::next() and feeds each one's bytes to the
// same decoding as a live message; RecordingMessage::receive_time_ns gives the pace.
#pragma once

#include <tellurix/lumenfold/transport.h>
#include <tellurix/lumenfold/transport_export.h>

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace tellurix::lumenfold::transport {

/// The first eight bytes of every recording: 0x89 'L' 'F' 'R' 'E' 'C' '\r' '\n'.
inline constexpr char recording_magic[8] = {'\x89', 'L', 'F', 'R', 'E', 'C', '\r', '\n'};
/// The recording format version this build writes and the only one it reads.
inline constexpr std::uint32_t recording_version = 1;
/// Bytes of the file header (magic, version, reserved word).
inline constexpr std::size_t recording_header_bytes = 16;
/// Bytes before each message's wire bytes (receive time, length).
inline constexpr std::size_t recording_record_header_bytes = 12;
/// The length field's range; far beyond any message the wire limits let through.
inline constexpr std::size_t max_recorded_message_bytes = 0xFFFFFFFFu;

/// The receive time recordings carry: the system clock, in nanoseconds since the Unix
/// epoch (UTC). It may step (clock adjustments); a replay paces by differences.
LUMENFOLD_TRANSPORT_EXPORT std::uint64_t recording_clock_ns() noexcept;

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

/// Appends messages to a new recording file from one calling thread (the GUI thread)
/// while a thread of its own writes them, so the caller never waits for the disk.
///
/// append() copies the bytes into an in-memory hand-off and returns; nothing handed over
/// is dropped while the file can be written. The hand-off is bounded softly: once
/// `max_pending_bytes` wait for the disk, has_room() turns false, and the host is expected
/// to hold its producers back (the queue withholds credit) until it turns true again.
/// A caller that keeps appending regardless is made to wait in append() once twice that
/// much is pending, so memory stays bounded even then.
///
/// When the file can no longer be written (disk full, file too large, I/O error), the
/// writer stops: what was pending is discarded, append() returns false, stopped() and
/// error() tell why, and the next check() or append() on the calling thread issues one
/// host::warn "Recording: stopped: <file>: <reason>". The file then holds every message
/// up to the failure, the last one possibly cut (a reader opens it up to the last whole
/// one). A file size limit (RLIMIT_FSIZE) also raises SIGXFSZ, which ends a process that
/// does not ignore it: a host that records should ignore SIGXFSZ.
///
/// Not thread-safe: append(), check() and close() from one thread; the counters and
/// status may be read from any thread.
class LUMENFOLD_TRANSPORT_EXPORT RecordingWriter {
public:
    struct Options {
        /// Bytes waiting for the disk before has_room() turns false (twice that: append
        /// waits). 256 MiB keeps a quarter of a second of a 1 GB/s stream.
        std::size_t max_pending_bytes = std::size_t{256} * 1024 * 1024;
        /// How long a partly filled buffer may wait before it is written, so that a slow
        /// stream reaches the file soon (what is lost if the process is killed).
        int flush_interval_ms = 50;
    };

    /// Creates (or truncates) `file` and writes the header. Throws std::runtime_error
    /// "RecordingWriter: <file>: <reason>" when it cannot.
    explicit RecordingWriter(const QString& file);
    RecordingWriter(const QString& file, const Options& options);
    /// Closes as close() does.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    /// Hands one message over for writing. False when it will not be written: the writer
    /// stopped (the failure is reported here once) or was closed. Throws
    /// std::invalid_argument for more than max_recorded_message_bytes.
    bool append(std::uint64_t receive_time_ns, const char* data, std::size_t size);
    /// The same without copying the bytes: `owner` keeps `data` alive and unchanged
    /// until they are written (a received message moved into a shared_ptr, say), and is
    /// released on the writer's thread. Messages shorter than shared_threshold_bytes are
    /// copied all the same, since a copy costs them less than the hand-over.
    bool append_shared(std::uint64_t receive_time_ns, std::shared_ptr<const void> owner,
                       const char* data, std::size_t size);
    static constexpr std::size_t shared_threshold_bytes = std::size_t{64} * 1024;
    /// False while `max_pending_bytes` or more wait for the disk.
    bool has_room() const noexcept;
    /// Reports a failure once through host::warn; false once the writer has stopped.
    bool check();
    /// Writes everything handed over, closes the file and ends the thread. True when all
    /// of it reached the file. Idempotent; append() returns false afterwards.
    bool close();

    /// The file name given to the constructor.
    QString file_name() const;
    /// Bytes and messages in the file so far (the header counts in the bytes). After a
    /// failure the file may hold a few whole messages more than counted: those of the
    /// buffer whose write failed midway.
    std::uint64_t bytes_written() const noexcept;
    std::uint64_t messages_written() const noexcept;
    /// Bytes handed over and not yet written.
    std::size_t pending_bytes() const noexcept;
    /// True once writing failed; error() then holds the reason (strerror text).
    bool stopped() const noexcept;
    QString error() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

/// One recorded message.
struct RecordingMessage {
    std::uint64_t receive_time_ns = 0;
    /// Where its record starts in the file.
    std::uint64_t offset = 0;
    /// The wire bytes, unchanged.
    std::vector<char> bytes;
};

/// Reads a recording message by message. A recording cut short (the program was killed,
/// the file copied while growing) reads up to its last whole message and then reports
/// where it was cut; a foreign or damaged file is refused with std::runtime_error
/// "RecordingReader: <file>: <what is wrong>". No length field makes it allocate more
/// than the rest of the file, nor more than `limits.max_message_bytes`.
class LUMENFOLD_TRANSPORT_EXPORT RecordingReader {
public:
    /// Opens `file` and checks its header. Throws std::runtime_error when it cannot be
    /// read, is empty, is no recording or has a version this build does not read.
    explicit RecordingReader(const QString& file, const Limits& limits = {});
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    /// The next message into `message` (its buffer is reused). False at the end of the
    /// whole messages; cut() then tells whether the file ended inside one. Throws
    /// std::runtime_error for a record that cannot be a message (a length beyond the
    /// largest message), naming its offset; the messages before it were read.
    bool next(RecordingMessage& message);

    /// After next() returned false: the file ends inside a record, which starts at
    /// cut_offset() (the file's whole messages end there).
    bool cut() const noexcept { return cut_; }
    std::uint64_t cut_offset() const noexcept { return cut_offset_; }
    /// The file's size when it was opened (later growth is not read) and how far reading
    /// has come, for a progress display.
    std::uint64_t file_size() const noexcept { return size_; }
    std::uint64_t position() const noexcept { return position_; }
    std::uint64_t messages_read() const noexcept { return messages_; }
    QString file_name() const { return file_; }

private:
    [[noreturn]] void refuse(const QString& what) const;
    bool read_exact(void* to, std::size_t size);

    QString file_;
    Limits limits_;
    std::FILE* stream_ = nullptr;
    std::uint64_t size_ = 0, position_ = 0, messages_ = 0, cut_offset_ = 0;
    bool cut_ = false, done_ = false;
};

} // namespace tellurix::lumenfold::transport
