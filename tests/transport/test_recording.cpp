// Recordings: what the writer hands to the disk reads back unchanged; a file cut short
// opens up to its last whole message; a foreign or damaged file is refused with a
// message, never a crash or a huge allocation; a writer that hits a full disk stops,
// reports once and leaves the caller running.
#include <tellurix/lumenfold/recording.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <vector>

namespace {

namespace transport = tellurix::lumenfold::transport;
namespace host = tellurix::lumenfold::host;
using transport::RecordingMessage;
using transport::RecordingReader;
using transport::RecordingWriter;

struct Sent {
    std::uint64_t time_ns;
    std::vector<char> bytes;
};

// Message `index` of `size` bytes: contents that differ per message and per byte.
Sent make_message(std::size_t index, std::size_t size) {
    Sent m{1'700'000'000'000'000'000ull + index * 1'000'003ull, std::vector<char>(size)};
    for (std::size_t j = 0; j < size; ++j)
        m.bytes[j] = static_cast<char>((index * 31 + j * 7) & 0xFF);
    return m;
}

std::vector<Sent> make_messages(const std::vector<std::size_t>& sizes) {
    std::vector<Sent> out;
    for (std::size_t i = 0; i < sizes.size(); ++i)
        out.push_back(make_message(i, sizes[i]));
    return out;
}

void write_file(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray read_file(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

std::vector<Sent> read_all(RecordingReader& reader) {
    std::vector<Sent> out;
    RecordingMessage m;
    while (reader.next(m))
        out.push_back({m.receive_time_ns, m.bytes});
    return out;
}

void expect_same(const std::vector<Sent>& got, const std::vector<Sent>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].time_ns, want[i].time_ns) << "message " << i;
        EXPECT_TRUE(got[i].bytes == want[i].bytes) << "message " << i;
    }
}

// A recording built by hand, byte by byte as the format page describes it.
QByteArray header(std::uint32_t version = transport::recording_version) {
    QByteArray h(transport::recording_magic, sizeof transport::recording_magic);
    char v[8] = {};
    qToLittleEndian<quint32>(version, v);
    h.append(v, 8);
    return h;
}

QByteArray record(std::uint64_t time_ns, std::uint32_t length, const QByteArray& body) {
    char head[12];
    qToLittleEndian<quint64>(time_ns, head);
    qToLittleEndian<quint32>(length, head + 8);
    return QByteArray(head, 12) + body;
}

// Collects what goes to the warning channel while it lives.
struct WarningLog {
    std::vector<QString> lines;
    host::WarningHandler previous;
    WarningLog() {
        previous = host::set_warning_handler([this](const QString& t) { lines.push_back(t); });
    }
    ~WarningLog() { host::set_warning_handler(previous); }
};

// ---------------------------------------------------------------------------
// Round trips through a file
// ---------------------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    std::vector<std::size_t> sizes;
    std::size_t max_pending_bytes; // small values make append() meet the hard bound
    bool shared;                   // lend the bytes (append_shared) instead of copying
};

class RecordingRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RecordingRoundTrip, ReadsBackWhatWasAppended) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.lfrec"));
    const std::vector<Sent> sent = make_messages(GetParam().sizes);
    WarningLog log;
    {
        RecordingWriter::Options options;
        options.max_pending_bytes = GetParam().max_pending_bytes;
        RecordingWriter writer(path, options);
        EXPECT_EQ(writer.file_name(), path);
        std::vector<std::weak_ptr<const void>> lent;
        for (const Sent& m : sent) {
            if (GetParam().shared) {
                auto copy = std::make_shared<const std::vector<char>>(m.bytes);
                lent.push_back(copy);
                ASSERT_TRUE(writer.append_shared(m.time_ns, copy, copy->data(), copy->size()));
            } else {
                ASSERT_TRUE(writer.append(m.time_ns, m.bytes.data(), m.bytes.size()));
            }
        }
        EXPECT_TRUE(writer.close());
        for (const auto& w : lent)
            EXPECT_TRUE(w.expired()) << "a lent message is still held after close()";
        EXPECT_FALSE(writer.stopped());
        EXPECT_EQ(writer.pending_bytes(), 0u);
        EXPECT_EQ(writer.messages_written(), sent.size());
        EXPECT_EQ(writer.bytes_written(), static_cast<std::uint64_t>(QFileInfo(path).size()));
        EXPECT_FALSE(writer.append(1, "x", 1)) << "append after close";
    }
    EXPECT_TRUE(log.lines.empty());

    RecordingReader reader(path);
    expect_same(read_all(reader), sent);
    EXPECT_FALSE(reader.cut());
    EXPECT_EQ(reader.messages_read(), sent.size());
    EXPECT_EQ(reader.position(), reader.file_size());
}

// Sizes around the 1 MiB buffers: a message that fills one exactly, one that crosses it.
const std::vector<std::size_t> around_buffers = {(1u << 20) - 12, 1, (1u << 20) - 30, 60, 100};

const RoundTripCase round_trip_cases[] = {
    {"no_message", {}, 1u << 20, false},
    {"one_small", {60}, 1u << 20, false},
    {"empty_message", {0, 5, 0}, 1u << 20, false},
    {"many_small", std::vector<std::size_t>(20000, 60), 256u << 20, false},
    {"large", {1u << 20, 60, 3u << 20, 1}, 256u << 20, false},
    {"around_buffer_edges", around_buffers, 256u << 20, false},
    {"tiny_bound_small", std::vector<std::size_t>(5000, 100), 512, false},
    {"tiny_bound_large", {2u << 20, 2u << 20, 70, 2u << 20}, 4096, false},
    {"lent_mixed", {60, 1u << 20, 64u << 10, 5, 3u << 20, 0}, 256u << 20, true},
    {"lent_tiny_bound", {2u << 20, 100, 2u << 20, (1u << 20) - 12}, 4096, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, RecordingRoundTrip, ::testing::ValuesIn(round_trip_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Files cut short
// ---------------------------------------------------------------------------

// Every cut inside the last record (its header or its body) gives the messages before it
// and says where the cut record starts; the whole file gives all of them.
TEST(RecordingCut, OpensUpToTheLastWholeMessageAtEveryCut) {
    QTemporaryDir dir;
    const QString full_path = dir.filePath(QStringLiteral("full.lfrec"));
    const std::vector<Sent> sent = make_messages({40, 0, 33});
    {
        RecordingWriter writer(full_path);
        for (const Sent& m : sent)
            writer.append(m.time_ns, m.bytes.data(), m.bytes.size());
        ASSERT_TRUE(writer.close());
    }
    const QByteArray whole = read_file(full_path);
    const int last_start = whole.size() - 12 - 33;
    const std::vector<Sent> before(sent.begin(), sent.end() - 1);
    const QString path = dir.filePath(QStringLiteral("cut.lfrec"));
    for (int cut = last_start; cut <= whole.size(); ++cut) {
        SCOPED_TRACE("file cut to " + std::to_string(cut) + " bytes");
        write_file(path, whole.left(cut));
        RecordingReader reader(path);
        const std::vector<Sent> got = read_all(reader);
        if (cut == last_start || cut == whole.size()) {
            expect_same(got, cut == whole.size() ? sent : before);
            EXPECT_FALSE(reader.cut());
        } else {
            expect_same(got, before);
            EXPECT_TRUE(reader.cut());
            EXPECT_EQ(reader.cut_offset(), static_cast<std::uint64_t>(last_start));
        }
        RecordingMessage m;
        EXPECT_FALSE(reader.next(m)) << "the end stays the end";
    }
}

// ---------------------------------------------------------------------------
// Foreign and damaged files
// ---------------------------------------------------------------------------

enum class Outcome { RefusedAtOpen, RefusedWhileReading, Cut };

struct DamagedCase {
    const char* name;
    QByteArray bytes;
    Outcome outcome;
    const char* message;  // part of the refusal; empty for Cut
    std::size_t messages; // whole messages read before the outcome
    std::uint64_t cut_at; // for Cut
};

class RecordingDamaged : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(RecordingDamaged, IsRefusedOrCutWithAReason) {
    const DamagedCase& c = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.lfrec"));
    write_file(path, c.bytes);
    if (c.outcome == Outcome::RefusedAtOpen) {
        try {
            RecordingReader reader(path);
            FAIL() << "opened";
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("RecordingReader: " + path.toStdString() + ": "), std::string::npos)
                << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
        return;
    }
    RecordingReader reader(path);
    std::size_t read = 0;
    RecordingMessage m;
    try {
        while (reader.next(m))
            ++read;
        EXPECT_EQ(c.outcome, Outcome::Cut) << "read to the end without a refusal";
        EXPECT_TRUE(reader.cut());
        EXPECT_EQ(reader.cut_offset(), c.cut_at);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(c.outcome, Outcome::RefusedWhileReading) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        EXPECT_FALSE(reader.next(m)) << "nothing after a refusal";
    }
    EXPECT_EQ(read, c.messages);
}

const QByteArray one = record(5, 3, "abc");

const DamagedCase damaged_cases[] = {
    {"zero_length_file", QByteArray(), Outcome::RefusedAtOpen, "empty file", 0, 0},
    {"text_file", "time,volts\n0,1.5\n1,1.7\n", Outcome::RefusedAtOpen, "not a Lumenfold recording",
     0, 0},
    {"zip_file", QByteArray("PK\x03\x04\x14\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00\x00", 16),
     Outcome::RefusedAtOpen, "not a Lumenfold recording", 0, 0},
    {"magic_then_garbage", header().left(6) + "XXXXXXXXXX", Outcome::RefusedAtOpen,
     "not a Lumenfold recording", 0, 0},
    {"cut_inside_header", header().left(11), Outcome::RefusedAtOpen,
     "cut short inside its 16-byte header (11 bytes)", 0, 0},
    {"version_2", header(2) + one, Outcome::RefusedAtOpen,
     "recording format version 2; this program reads version 1", 0, 0},
    {"version_0", header(0), Outcome::RefusedAtOpen, "format version 0", 0, 0},
    {"length_beyond_file", header() + one + record(6, 1000, "only ten b"), Outcome::Cut, "", 1,
     16 + 15},
    {"length_beyond_largest_message", header() + one + record(6, 300u << 20, "xyz"),
     Outcome::RefusedWhileReading, "claims a message of 314572800 bytes, more than the largest", 1,
     0},
    {"huge_length", header() + record(6, 0xFFFFFFFFu, QByteArray(64, 'x')),
     Outcome::RefusedWhileReading, "at byte 16 claims a message of 4294967295 bytes", 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, RecordingDamaged, ::testing::ValuesIn(damaged_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A header alone is a whole recording of no message, not a cut one.
TEST(RecordingDamagedExtra, HeaderOnlyIsAnEmptyRecording) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("empty.lfrec"));
    write_file(path, header());
    RecordingReader reader(path);
    RecordingMessage m;
    EXPECT_FALSE(reader.next(m));
    EXPECT_FALSE(reader.cut());
}

TEST(RecordingDamagedExtra, NoFileAndADirectoryAreRefused) {
    QTemporaryDir dir;
    for (const QString& path : {dir.filePath(QStringLiteral("missing.lfrec")), dir.path()}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_THROW(RecordingReader{path}, std::runtime_error);
    }
    EXPECT_THROW(RecordingWriter{dir.filePath(QStringLiteral("no/such/dir.lfrec"))},
                 std::runtime_error);
}

} // namespace
