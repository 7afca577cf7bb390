// The recording writer against a disk that is full or slow: it stops and reports once
// when the file can no longer be written, the caller goes on, and what reached the file
// reads back as a prefix of what was appended; while the disk is behind, has_room() tells
// the caller to hold its producers back, and nothing handed over is lost.
#include <tellurix/lumenfold/recording.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace transport = tellurix::lumenfold::transport;
namespace host = tellurix::lumenfold::host;
using transport::RecordingMessage;
using transport::RecordingReader;
using transport::RecordingWriter;

std::vector<char> message_bytes(std::size_t index, std::size_t size) {
    std::vector<char> m(size);
    for (std::size_t j = 0; j < size; ++j)
        m[j] = static_cast<char>((index * 13 + j) & 0xFF);
    return m;
}

// ---------------------------------------------------------------------------
// A full disk: a file size limit in a child process
// ---------------------------------------------------------------------------

struct FullDiskCase {
    const char* name;
    std::size_t max_pending_bytes; // small: append() waits at the hard bound when it fails
    std::size_t message_size;
    std::size_t messages;
    bool shared; // lend the bytes (append_shared)
};

class RecordingFullDisk : public ::testing::TestWithParam<FullDiskCase> {};

constexpr rlim_t file_limit = 256 * 1024;

// Runs in the child: records until refused, then checks what the writer says. The exit
// status is the number of the first failed check (0: all held).
int record_into_full_disk(const QString& path, const FullDiskCase& c) {
    std::signal(SIGXFSZ, SIG_IGN); // else the kernel ends the process at the limit
    const rlimit limit{file_limit, file_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 90;
    std::vector<QString> warnings;
    host::set_warning_handler([&](const QString& t) { warnings.push_back(t); });
    RecordingWriter::Options options;
    options.max_pending_bytes = c.max_pending_bytes;
    RecordingWriter writer(path, options);
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < c.messages; ++i) {
        auto m = std::make_shared<const std::vector<char>>(message_bytes(i, c.message_size));
        if (!(c.shared ? writer.append_shared(i, m, m->data(), m->size())
                       : writer.append(i, m->data(), m->size())))
            break;
        ++accepted;
    }
    const bool closed_clean = writer.close();
    const QString expected = QStringLiteral("Recording: stopped: %1: %2")
                                 .arg(path, QString::fromLocal8Bit(std::strerror(EFBIG)));
    const auto fail = [&](int code, const char* what) {
        std::fprintf(stderr, "child check %d failed: %s (accepted %zu, warnings %zu%s%s)\n", code,
                     what, accepted, warnings.size(), warnings.empty() ? "" : ", first: ",
                     warnings.empty() ? "" : qUtf8Printable(warnings.front()));
        return code;
    };
    if (closed_clean)
        return fail(1, "close() reported success");
    if (!writer.stopped())
        return fail(2, "stopped() is false");
    if (writer.error() != QString::fromLocal8Bit(std::strerror(EFBIG)))
        return fail(3, "error() is not EFBIG's text");
    if (warnings.size() != 1 || warnings.front() != expected)
        return fail(4, "not exactly one warning of the expected text");
    if (writer.append(0, "x", 1) || warnings.size() != 1)
        return fail(5, "append after the failure was taken or warned again");
    if (writer.bytes_written() > file_limit)
        return fail(6, "more bytes counted than the limit allows");
    std::printf("%llu\n", static_cast<unsigned long long>(writer.messages_written()));
    return 0;
}

TEST_P(RecordingFullDisk, StopsReportsOnceAndKeepsAPrefix) {
    const FullDiskCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("full.lfrec"));
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int code = record_into_full_disk(path, c);
        std::fflush(nullptr);
        ::_exit(code);
    }
    ::close(out[1]);
    std::string printed;
    char buf[64];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        printed.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the recording process crashed (signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
    ASSERT_EQ(WEXITSTATUS(status), 0) << "see the child's message above";
    const std::uint64_t counted = std::stoull(printed);

    // What reached the file is what was appended, in order, up to the failure.
    RecordingReader reader(path);
    RecordingMessage m;
    std::size_t read = 0;
    while (reader.next(m)) {
        EXPECT_EQ(m.receive_time_ns, read);
        EXPECT_TRUE(m.bytes == message_bytes(read, c.message_size)) << "message " << read;
        ++read;
    }
    EXPECT_LE(reader.file_size(), file_limit);
    EXPECT_LE(counted, read) << "messages_written() counts only messages whole in the file";
    EXPECT_LT(read, c.messages);
}

const FullDiskCase full_disk_cases[] = {
    {"small_messages", 256u << 20, 1024, 4000, false},
    {"small_messages_tiny_bound", 4096, 1024, 4000, false},
    {"messages_larger_than_the_limit", 256u << 20, 300 * 1024, 8, false},
    {"lent_messages_larger_than_the_limit", 256u << 20, 100 * 1024, 8, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, RecordingFullDisk, ::testing::ValuesIn(full_disk_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A slow disk: a pipe nobody reads yet
// ---------------------------------------------------------------------------

TEST(RecordingSlowDisk, HasRoomTurnsFalseAndNothingIsLost) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("slow"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Opened for reading first, so that the writer's open does not wait for a reader.
    const int in = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(in, 0);

    RecordingWriter::Options options;
    options.max_pending_bytes = 512 * 1024;
    RecordingWriter writer(fifo, options);
    EXPECT_TRUE(writer.has_room());
    // 600 KiB: past the soft bound, short of the hard one, so append() never waits,
    // while a pipe holds at most 64 KiB until someone reads it.
    std::size_t index = 0;
    for (; index < 600; ++index) {
        const std::vector<char> m = message_bytes(index, 1024);
        ASSERT_TRUE(writer.append(index, m.data(), m.size()));
    }
    EXPECT_FALSE(writer.has_room());
    EXPECT_GT(writer.pending_bytes(), options.max_pending_bytes);

    // Now read slowly in the background, and append far past the hard bound: append()
    // waits for the reader instead of losing messages or growing without end.
    ASSERT_EQ(::fcntl(in, F_SETFL, 0), 0);
    QByteArray drained;
    std::thread reader_thread([&] {
        char buf[16384];
        for (;;) {
            const ssize_t n = ::read(in, buf, sizeof buf);
            if (n == 0)
                break; // the writer closed its end
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                break;
            }
            drained.append(buf, static_cast<int>(n));
        }
    });
    for (; index < 3000; ++index) {
        const std::vector<char> m = message_bytes(index, 1024);
        ASSERT_TRUE(writer.append(index, m.data(), m.size()));
        EXPECT_LE(writer.pending_bytes(), 2 * options.max_pending_bytes);
    }
    EXPECT_TRUE(writer.close());
    EXPECT_TRUE(writer.has_room());
    reader_thread.join();
    ::close(in);

    const QString copy = dir.filePath(QStringLiteral("copy.lfrec"));
    QFile f(copy);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(drained);
    f.close();
    RecordingReader reader(copy);
    RecordingMessage m;
    std::size_t read = 0;
    while (reader.next(m)) {
        ASSERT_EQ(m.receive_time_ns, read);
        ASSERT_TRUE(m.bytes == message_bytes(read, 1024)) << "message " << read;
        ++read;
    }
    EXPECT_FALSE(reader.cut());
    EXPECT_EQ(read, index);
    EXPECT_EQ(writer.messages_written(), index);
}

} // namespace
