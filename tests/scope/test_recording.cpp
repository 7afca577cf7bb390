// Recording what the scope receives and opening it again: the datasets of a window that
// opened a recording equal those of the window that recorded it; a disk that fills up
// stops the recording, not the scope.
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/toolbar.h>
#include <tellurix/lumenfold/transport.h>

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tellurix::lumenfold;
using host::Value;

namespace {

// An empty queue, for a window that only shows recordings.
class NoQueue : public host::Queue {
public:
    bool empty() override { return true; }
    Value get() override { throw std::logic_error("NoQueue::get"); }
};

// What a window holds, generation by generation, newest first.
void expect_same_data(const scope::ColumnDataset& a, const scope::ColumnDataset& b) {
    ASSERT_EQ(a.column_names(), b.column_names());
    ASSERT_EQ(a.generation_count(), b.generation_count());
    for (std::size_t age = 0; age < a.generation_count(); ++age) {
        const scope::Generation& ga = a.generation(age);
        const scope::Generation& gb = b.generation(age);
        ASSERT_EQ(ga.rows(), gb.rows()) << "generation " << age;
        ASSERT_EQ(ga.columns(), gb.columns());
        for (int c = 0; c < ga.columns(); ++c)
            for (int r = 0; r < ga.rows(); ++r)
                ASSERT_EQ(ga.value(c, r), gb.value(c, r)) << "age " << age << " col " << c;
    }
}

// Points over two generations (a ROLL between them) and three traces, one complex.
std::uint64_t send_run(transport::Producer& producer) {
    std::uint64_t items = 0;
    auto send = [&](const char* cmd, const Value& data) {
        EXPECT_TRUE(producer.send(QString::fromLatin1(cmd), data));
        ++items;
    };
    send("PN", Value::str_list({"t", "a", "b"}));
    send("TN", Value::str_list({"f", "s", "z"}));
    send("PXY", Value(QStringLiteral("t,a;t,b")));
    for (int g = 0; g < 2; ++g) {
        std::vector<Value> batch;
        for (int i = 0; i < 500; ++i)
            batch.push_back(Value::tuple(
                {Value("PD"), Value::list({i * 0.5, std::sin(i + g), std::cos(i * 0.1) + g})}));
        EXPECT_TRUE(producer.send_batch(batch));
        items += batch.size();
        send("ROLL", Value());
    }
    for (int k = 0; k < 3; ++k) {
        QVector<double> f(200), s(200);
        QVector<std::complex<double>> z(200);
        for (int i = 0; i < 200; ++i) {
            f[i] = i;
            s[i] = std::exp(-i * 0.01 * (k + 1));
            z[i] = {std::cos(i * 0.2), std::sin(i * 0.3 + k)};
        }
        send("TD",
             Value::list({Value::float_array(f), Value::float_array(s), Value::complex_array(z)}));
    }
    return items;
}

// A window that shows recordings only, with what it showed once loading ended.
struct Opened {
    std::unique_ptr<scope::ScopeWindow> window;
    bool opened = false;
    QString error;
};

Opened open_file(const QString& file) {
    Opened o;
    o.window =
        std::make_unique<scope::ScopeWindow>(scope::ScopeOptions{}, std::make_unique<NoQueue>());
    o.opened = o.window->open_recording(file, 0, &o.error);
    if (o.opened) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !o.window->replaying(); }, 20000));
    }
    return o;
}

QByteArray file_header(std::uint32_t version = transport::recording_version) {
    QByteArray h(transport::recording_magic, sizeof transport::recording_magic);
    char word[4];
    qToLittleEndian<quint32>(version, word);
    h.append(word, 4);
    h.append(4, '\0');
    return h;
}

QByteArray record_bytes(std::uint64_t time_ns, std::uint32_t length, const QByteArray& bytes) {
    char head[12];
    qToLittleEndian<quint64>(time_ns, head);
    qToLittleEndian<quint32>(length, head + 8);
    return QByteArray(head, 12) + bytes;
}

QByteArray record_of(std::uint64_t time_ns, const QByteArray& message) {
    return record_bytes(time_ns, static_cast<std::uint32_t>(message.size()), message);
}

void write_file(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray names_message() {
    return transport::encode_item(Value::tuple({"PN", Value::str_list({"x", "y"})}));
}

QByteArray rows_message(double first) {
    return transport::encode({Value::tuple({"PD", Value::list({first, first + 1})}),
                              Value::tuple({"PD", Value::list({first + 2, first + 3})})});
}

// The x values of the newest generation, in order.
std::vector<double> shown_x(const scope::ScopeWindow& window) {
    std::vector<double> x;
    auto& points = const_cast<scope::ScopeWindow&>(window).points();
    if (points.generation_count() == 0)
        return x;
    const scope::Generation& g = points.generation(0);
    for (int r = 0; r < g.rows(); ++r)
        x.push_back(g.value(0, r).real());
    return x;
}

} // namespace

TEST(ScopeRecording, RecordedRunOpensToTheSameData) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("run.lfrec"));
    scope::ScopeOptions options;
    options.endpoint = QStringLiteral("ipc://%1/live.ipc").arg(dir.path());
    scope::ScopeWindow live(options);
    QString error;
    ASSERT_TRUE(live.start_recording(file, &error)) << error.toStdString();
    EXPECT_TRUE(live.recording());
    EXPECT_TRUE(live.recording_status().contains(QStringLiteral("run.lfrec")));

    transport::Producer producer(live.endpoint());
    const std::uint64_t sent = send_run(producer);
    ASSERT_TRUE(producer.close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return live.items_taken() >= sent; }, 20000));
    ASSERT_TRUE(live.stop_recording());
    EXPECT_FALSE(live.recording());
    ASSERT_GE(live.points().generation_count(), 2u);
    ASSERT_EQ(live.traces().generation_count(), 3u);

    for (const double speed : {0.0, 50.0}) {
        SCOPED_TRACE(speed);
        scope::ScopeWindow replayed(scope::ScopeOptions{}, std::make_unique<NoQueue>());
        ASSERT_TRUE(replayed.open_recording(file, speed, &error)) << error.toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !replayed.replaying(); }, 20000));
        EXPECT_EQ(replayed.errors(), 0) << replayed.log_lines().join('\n').toStdString();
        expect_same_data(live.points(), replayed.points());
        expect_same_data(live.traces(), replayed.traces());
        EXPECT_EQ(replayed.toolbar().xypairs, live.toolbar().xypairs);
    }
}

TEST(ScopeRecording, ForeignFileIsRefusedWithTheReason) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("notes.txt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("just some text, long enough to hold a header\n");
    f.close();
    scope::ScopeWindow window(scope::ScopeOptions{}, std::make_unique<NoQueue>());
    QString error;
    EXPECT_FALSE(window.open_recording(file, 0, &error));
    EXPECT_TRUE(error.contains(file)) << error.toStdString();
    EXPECT_FALSE(window.replaying());
    // Nor can a window without its own queue record.
    EXPECT_FALSE(window.start_recording(dir.filePath(QStringLiteral("r.lfrec")), &error));
    EXPECT_FALSE(window.recording());
}

// The program itself, headless, under a file size limit far below what is sent: the
// recording stops with a message, the scope goes on and quits normally.
TEST(ScopeRecording, FullDiskStopsTheRecordingNotTheScope) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray file = dir.filePath(QStringLiteral("full.lfrec")).toLocal8Bit();
    const QByteArray endpoint = QStringLiteral("ipc://%1/full.ipc").arg(dir.path()).toLocal8Bit();
    const QByteArray err_path = dir.filePath(QStringLiteral("stderr.txt")).toLocal8Bit();
    constexpr rlim_t limit = 64 * 1024;

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit rl{limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        const int fd = ::open(err_path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(LUMENFOLD_SCOPE_EXE, LUMENFOLD_SCOPE_EXE, "--listen", endpoint.constData(),
              "--record", file.constData(), "--quit-after", "15", static_cast<char*>(nullptr));
        _exit(127);
    }
    {
        transport::Producer producer(QString::fromLocal8Bit(endpoint));
        producer.send("PN", Value::str_list({"x", "y"}));
        // About 320 kB: five times the limit, and within what the scope takes in 15 s even
        // built with sanitizers on a busy machine (its start alone took 3 s there).
        for (int n = 0; n < 4; ++n) {
            std::vector<Value> batch;
            for (int i = 0; i < 5000; ++i)
                batch.push_back(Value::tuple({Value("PD"), Value::list({double(i), double(n)})}));
            producer.send_batch(batch);
        }
        EXPECT_TRUE(producer.close()) << "the scope took everything in";
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    QFile err(QString::fromLocal8Bit(err_path));
    ASSERT_TRUE(err.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(err.readAll());
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n"
                                   << text.toStdString();
    EXPECT_EQ(WEXITSTATUS(status), 0) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Recording: stopped"))) << text.toStdString();

    // What did reach the file opens, up to the last whole message.
    transport::RecordingReader reader(QString::fromLocal8Bit(file));
    EXPECT_LE(reader.file_size(), limit);
    transport::RecordingMessage m;
    std::uint64_t messages = 0;
    while (reader.next(m))
        ++messages;
    EXPECT_GT(messages, 0u);
}

// Producers that sent before the scope was up retry their connection now and then (every
// 100 ms), each at its own moment: their items reach the scope at any time from its bind
// on, and --record keeps them all, from the first message on.
TEST(ScopeRecording, RecordsFromTheFirstMessage) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("early.lfrec"));
    const QString endpoint = QStringLiteral("ipc://%1/early.ipc").arg(dir.path());
    constexpr int producers = 25;
    std::vector<std::unique_ptr<transport::Producer>> early;
    for (int i = 0; i < producers; ++i) {
        early.push_back(std::make_unique<transport::Producer>(endpoint));
        ASSERT_TRUE(early.back()->send("PN", Value::str_list({"x", "y"})));
        QTest::qWait(4); // spread their retries over the interval
    }

    QProcess scope;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    scope.setProcessEnvironment(env);
    scope.start(QStringLiteral(LUMENFOLD_SCOPE_EXE),
                {QStringLiteral("--listen"), endpoint, QStringLiteral("--record"), file,
                 QStringLiteral("--quit-after"), QStringLiteral("2")});
    for (auto& producer : early)
        EXPECT_TRUE(producer->close());
    ASSERT_TRUE(scope.waitForFinished(60000));
    ASSERT_EQ(scope.exitCode(), 0) << scope.readAllStandardError().toStdString();

    transport::RecordingReader reader(file);
    transport::RecordingMessage m;
    std::size_t items = 0;
    while (reader.next(m))
        items += transport::decode(m.bytes.data(), m.bytes.size()).size();
    EXPECT_EQ(items, std::size_t(producers));
}

// A recording whose last message was cut anywhere (the recorder was killed while writing
// it, the file copied while growing): the whole messages before it are shown, and the log
// says where it was cut; cut at a record's boundary, it is a whole shorter recording.
TEST(ScopeRecording, CutAtEveryByteOfTheLastMessageShowsTheWholeOnes) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("cut.lfrec"));
    const QByteArray whole = file_header() + record_of(1, names_message()) +
                             record_of(2, rows_message(1)) + record_of(3, rows_message(10));
    const int last = whole.size() - (12 + rows_message(10).size());
    for (int cut = last; cut <= whole.size(); ++cut) {
        SCOPED_TRACE("cut to " + std::to_string(cut) + " of " + std::to_string(whole.size()));
        write_file(file, whole.left(cut));
        const Opened o = open_file(file);
        ASSERT_TRUE(o.opened) << o.error.toStdString();
        const QString log = o.window->log_lines().join('\n');
        const std::vector<double> want =
            cut == whole.size() ? std::vector<double>{1, 3, 10, 12} : std::vector<double>{1, 3};
        EXPECT_EQ(shown_x(*o.window), want);
        const bool inside = cut != last && cut != whole.size();
        EXPECT_EQ(log.contains(QStringLiteral("cut short at byte %1").arg(last)), inside)
            << log.toStdString();
        EXPECT_EQ(o.window->errors(), inside ? 1 : 0) << log.toStdString();
    }
}

// Files that are no recording are refused with what is wrong; a damaged record inside a
// recording ends or skips what it must, with a word in the log, never a crash.
struct DamagedFile {
    const char* name;
    QByteArray bytes;
    bool opens;
    const char* says; // in the refusal, or in the log of a file that opens ("": nothing)
    std::vector<double> shown;
};

class ScopeDamagedFile : public ::testing::TestWithParam<DamagedFile> {};

TEST_P(ScopeDamagedFile, IsRefusedOrShownUpToTheDamage) {
    const DamagedFile& c = GetParam();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("damaged.lfrec"));
    write_file(file, c.bytes);
    const Opened o = open_file(file);
    ASSERT_EQ(o.opened, c.opens) << o.error.toStdString();
    if (!c.opens) {
        EXPECT_TRUE(o.error.contains(file)) << o.error.toStdString();
        EXPECT_TRUE(o.error.contains(QString::fromUtf8(c.says))) << o.error.toStdString();
        EXPECT_FALSE(o.window->replaying());
        return;
    }
    const QString log = o.window->log_lines().join('\n');
    EXPECT_EQ(shown_x(*o.window), c.shown) << log.toStdString();
    if (*c.says) {
        EXPECT_TRUE(log.contains(QString::fromUtf8(c.says))) << log.toStdString();
    } else {
        EXPECT_EQ(o.window->errors() + o.window->warnings(), 0) << log.toStdString();
    }
}

const DamagedFile damaged_files[] = {
    {"empty_file", QByteArray(), false, "empty file", {}},
    {"text_file", "time,volts\n0,1.5\n1,1.7\n", false, "not a Lumenfold recording", {}},
    {"cut_inside_header", file_header().left(11), false, "cut short inside its 16-byte header", {}},
    {"newer_version",
     file_header(2) + record_of(1, names_message()),
     false,
     "recording format version 2",
     {}},
    {"header_only", file_header(), true, "", {}},
    {"malformed_message_between",
     file_header() + record_of(1, names_message()) + record_of(2, QByteArray("\xc1\xc1\xc1", 3)) +
         record_of(3, rows_message(1)),
     true,
     "is dropped",
     {1, 3}},
    {"length_beyond_the_largest_message",
     file_header() + record_of(1, names_message()) + record_of(2, rows_message(1)) +
         record_bytes(3, 300u << 20, "xyz"),
     true,
     "claims a message of 314572800 bytes",
     {1, 3}},
    {"length_beyond_the_file",
     file_header() + record_of(1, names_message()) + record_of(2, rows_message(1)) +
         record_bytes(3, 1000, "ten bytes."),
     true,
     "cut short at byte",
     {1, 3}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ScopeDamagedFile, ::testing::ValuesIn(damaged_files),
                         [](const auto& info) { return std::string(info.param.name); });

// Recorded at one scope, sent by `lumenfold-send --replay` into a second one: the second
// holds what the first did.
TEST(ScopeRecording, SentAgainIntoASecondScopeGivesTheSameData) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("run.lfrec"));
    scope::ScopeOptions options;
    options.endpoint = QStringLiteral("ipc://%1/first.ipc").arg(dir.path());
    scope::ScopeWindow first(options);
    QString error;
    ASSERT_TRUE(first.start_recording(file, &error)) << error.toStdString();
    std::uint64_t sent = 0;
    {
        transport::Producer producer(first.endpoint());
        sent = send_run(producer);
        ASSERT_TRUE(producer.close());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.items_taken() >= sent; }, 20000));
    ASSERT_TRUE(first.stop_recording());

    options.endpoint = QStringLiteral("ipc://%1/second.ipc").arg(dir.path());
    scope::ScopeWindow second(options);
    QProcess tool;
    tool.start(QStringLiteral(LUMENFOLD_SEND_TOOL),
               {QStringLiteral("--endpoint"), second.endpoint(), QStringLiteral("--replay"), file});
    // The window must go on taking items while the tool sends.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return tool.state() == QProcess::NotRunning && second.items_taken() >= sent; },
        60000))
        << tool.readAllStandardError().toStdString();
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_EQ(second.items_taken(), first.items_taken());
    EXPECT_EQ(second.errors(), 0) << second.log_lines().join('\n').toStdString();
    expect_same_data(first.points(), second.points());
    expect_same_data(first.traces(), second.traces());
}

// `lumenfold-scope FILE` while another scope holds the default endpoint: the recording is
// shown all the same, without a live stream.
TEST(ScopeRecording, OpeningNeedsNoFreeEndpoint) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("one.lfrec"));
    {
        transport::RecordingWriter writer(file);
        const QByteArray m = transport::encode({Value::tuple({"PN", Value::str_list({"x", "y"})}),
                                                Value::tuple({"PD", Value::list({1.0, 2.0})})});
        ASSERT_TRUE(writer.append(1, m.constData(), static_cast<std::size_t>(m.size())));
        ASSERT_TRUE(writer.close());
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
    transport::ZmqQueue other(transport::default_endpoint()); // the other scope
    qunsetenv("XDG_RUNTIME_DIR");
    const QString h5 = dir.filePath(QStringLiteral("shown.h5"));

    QProcess scope;
    scope.setProcessEnvironment(env);
    scope.start(QStringLiteral(LUMENFOLD_SCOPE_EXE),
                {file, QStringLiteral("--export-hdf5"), h5, QStringLiteral("--quit-after"),
                 QStringLiteral("2")});
    ASSERT_TRUE(scope.waitForFinished(60000));
    const QString err = QString::fromUtf8(scope.readAllStandardError());
    EXPECT_EQ(scope.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("without a live stream"))) << err.toStdString();
    EXPECT_TRUE(QFileInfo(h5).size() > 0) << "the recording was shown and exported";

    // Asked to record, it cannot do without its endpoint.
    scope.start(QStringLiteral(LUMENFOLD_SCOPE_EXE),
                {file, QStringLiteral("--record"), dir.filePath(QStringLiteral("r.lfrec")),
                 QStringLiteral("--quit-after"), QStringLiteral("1")});
    ASSERT_TRUE(scope.waitForFinished(60000));
    EXPECT_EQ(scope.exitCode(), 1);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("r.lfrec"))))
        << "a recording that never began leaves no file";
}

// The program as a user runs it: the demo recorded while a screenshot is taken, then the
// recording shown by a second run that takes its own. Both runs end normally and report
// the same plots (the recording widgets in the status bar and the plot areas live side by
// side in the window, live and replaying).
TEST(ScopeRecording, DemoRecordedThenOpenedByTheProgram) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("demo.lfrec"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    auto run = [&](const QStringList& args) {
        QProcess scope;
        scope.setProcessEnvironment(env);
        scope.start(QStringLiteral(LUMENFOLD_SCOPE_EXE), args);
        EXPECT_TRUE(scope.waitForFinished(60000));
        const QString err = QString::fromUtf8(scope.readAllStandardError());
        EXPECT_EQ(scope.exitStatus(), QProcess::NormalExit) << err.toStdString();
        EXPECT_EQ(scope.exitCode(), 0) << err.toStdString();
        QStringList plots;
        for (const QString& line : QString::fromUtf8(scope.readAllStandardOutput()).split('\n'))
            if (line.startsWith(QStringLiteral("plot ")))
                plots << line.section(QLatin1Char(' '), 6); // the names, not the geometry
        return plots;
    };
    const QStringList live =
        run({QStringLiteral("--demo"), QStringLiteral("--listen"),
             QStringLiteral("ipc://%1/demo.ipc").arg(dir.path()), QStringLiteral("--record"), file,
             QStringLiteral("--screenshot"), dir.filePath(QStringLiteral("live.png")),
             QStringLiteral("--quit-after"), QStringLiteral("2")});
    ASSERT_GE(live.size(), 2) << "the demo pattern matches several pairs";
    const QStringList opened = run(
        {file, QStringLiteral("--listen"), QStringLiteral("ipc://%1/opened.ipc").arg(dir.path()),
         QStringLiteral("--screenshot"), dir.filePath(QStringLiteral("opened.png")),
         QStringLiteral("--quit-after"), QStringLiteral("2")});
    EXPECT_EQ(opened, live);
}
