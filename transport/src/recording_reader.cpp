#include <tellurix/lumenfold/recording.h>

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

namespace tellurix::lumenfold::transport {

namespace {
QString errno_text(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}
} // namespace

RecordingReader::RecordingReader(const QString& file, const Limits& limits)
    : file_(file)
    , limits_(limits) {
    const QByteArray path = file.toLocal8Bit();
    stream_ = std::fopen(path.constData(), "rbe");
    if (stream_ == nullptr)
        refuse(errno_text(errno));
    struct stat st {};
    if (::fstat(::fileno(stream_), &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        std::fclose(stream_);
        stream_ = nullptr;
        refuse(S_ISDIR(st.st_mode) ? errno_text(EISDIR)
               : err != 0          ? errno_text(err)
                                   : QStringLiteral("not a regular file"));
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    // Records are read in one piece each: a large buffer saves system calls on small ones.
    std::setvbuf(stream_, nullptr, _IOFBF, std::size_t{256} * 1024);

    try {
        if (size_ == 0)
            refuse(QStringLiteral("empty file, not a Lumenfold recording"));
        char header[recording_header_bytes];
        const std::size_t got = std::fread(header, 1, sizeof header, stream_);
        const std::size_t magic_seen = std::min(got, sizeof recording_magic);
        if (std::memcmp(header, recording_magic, magic_seen) != 0)
            refuse(QStringLiteral("not a Lumenfold recording (its first bytes are not the "
                                  "recording magic number)"));
        if (got < sizeof header)
            refuse(QStringLiteral("cut short inside its %1-byte header (%2 bytes)")
                       .arg(recording_header_bytes)
                       .arg(got));
        const quint32 version = qFromLittleEndian<quint32>(header + 8);
        if (version != recording_version)
            refuse(QStringLiteral("recording format version %1; this program reads version %2")
                       .arg(version)
                       .arg(recording_version));
        position_ = recording_header_bytes;
    } catch (...) {
        std::fclose(stream_);
        stream_ = nullptr;
        throw;
    }
}

RecordingReader::~RecordingReader() {
    if (stream_ != nullptr)
        std::fclose(stream_);
}

void RecordingReader::refuse(const QString& what) const {
    throw std::runtime_error(
        QStringLiteral("RecordingReader: %1: %2").arg(file_, what).toStdString());
}

bool RecordingReader::read_exact(void* to, std::size_t size) {
    return std::fread(to, 1, size, stream_) == size;
}

bool RecordingReader::next(RecordingMessage& message) {
    if (done_)
        return false;
    const std::uint64_t start = position_;
    const std::uint64_t left = size_ - start;
    if (left == 0) {
        done_ = true;
        return false;
    }
    // From here on, every way out without a whole message is a file cut inside a record.
    done_ = true;
    cut_ = true;
    cut_offset_ = start;
    char head[recording_record_header_bytes];
    if (left < sizeof head || !read_exact(head, sizeof head))
        return false;
    const std::uint64_t length = qFromLittleEndian<quint32>(head + 8);
    if (length > limits_.max_message_bytes) {
        cut_ = false;
        refuse(QStringLiteral("the record at byte %1 claims a message of %2 bytes, more than "
                              "the largest message (%3 bytes): the file is damaged")
                   .arg(start)
                   .arg(length)
                   .arg(limits_.max_message_bytes));
    }
    // A length beyond the end is what a file cut inside this message looks like; checking
    // it first also means no length field makes us allocate more than the file holds.
    if (length > left - sizeof head)
        return false;
    message.bytes.resize(static_cast<std::size_t>(length));
    if (length > 0 && !read_exact(message.bytes.data(), message.bytes.size()))
        return false; // the file shrank since it was opened
    message.receive_time_ns = qFromLittleEndian<quint64>(head);
    message.offset = start;
    position_ = start + sizeof head + length;
    ++messages_;
    done_ = false;
    cut_ = false;
    cut_offset_ = 0;
    return true;
}

} // namespace tellurix::lumenfold::transport
