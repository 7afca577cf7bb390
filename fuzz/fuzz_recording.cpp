// Feeds arbitrary bytes to the recording reader as a file. Whatever the input, opening and
// reading either yields whole messages that lie inside the file or throws
// std::runtime_error; never a crash, and never a buffer larger than the file.
#include <tellurix/lumenfold/recording.h>

#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace transport = tellurix::lumenfold::transport;

namespace {

// One in-memory file for the whole run, rewritten for every input; the reader opens it
// by name as it would any recording.
const std::string& file_holding(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("fuzz_recording", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        std::abort();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = file_holding(data, size);
    // A small message limit, so that the fuzzer reaches the damaged-length refusal too.
    transport::Limits limits;
    limits.max_message_bytes = 1 << 12;
    try {
        transport::RecordingReader reader(QString::fromStdString(path), limits);
        if (reader.file_size() != size)
            std::abort();
        transport::RecordingMessage m;
        std::uint64_t end = transport::recording_header_bytes;
        while (reader.next(m)) {
            // Records follow each other without gaps and stay inside the file.
            if (m.offset != end || m.bytes.size() > limits.max_message_bytes)
                std::abort();
            end = m.offset + transport::recording_record_header_bytes + m.bytes.size();
            if (end > size || reader.position() != end)
                std::abort();
        }
        if (reader.cut() ? reader.cut_offset() != end || end >= size : end != size)
            std::abort();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
