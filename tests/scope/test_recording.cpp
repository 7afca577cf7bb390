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
              "--record", file.constData(), "--quit-after", "4", static_cast<char*>(nullptr));
        _exit(127);
    }
    {
        transport::Producer producer(QString::fromLocal8Bit(endpoint));
        producer.send("PN", Value::str_list({"x", "y"}));
        // About 1.6 MB: far beyond the limit, well within what the scope takes in 4 s.
        for (int n = 0; n < 20; ++n) {
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

// A recording whose last message was cut (the recorder was killed while writing it): the
// whole messages before it are shown and the log says where it was cut.
TEST(ScopeRecording, CutRecordingShowsItsWholeMessages) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("cut.lfrec"));
    {
        transport::RecordingWriter writer(file);
        const QByteArray names =
            transport::encode_item(Value::tuple({"PN", Value::str_list({"x", "y"})}));
        const QByteArray rows = transport::encode({Value::tuple({"PD", Value::list({1.0, 2.0})}),
                                                   Value::tuple({"PD", Value::list({3.0, 4.0})})});
        const QByteArray last =
            transport::encode_item(Value::tuple({"PD", Value::list({5.0, 6.0})}));
        std::uint64_t t = 1;
        for (const QByteArray* m : {&names, &rows, &last})
            ASSERT_TRUE(writer.append(t++, m->constData(), static_cast<std::size_t>(m->size())));
        ASSERT_TRUE(writer.close());
    }
    QFile f(file);
    ASSERT_TRUE(f.resize(f.size() - 3));

    scope::ScopeWindow window(scope::ScopeOptions{}, std::make_unique<NoQueue>());
    QString error;
    ASSERT_TRUE(window.open_recording(file, 0, &error)) << error.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.replaying(); }, 20000));
    ASSERT_EQ(window.points().generation_count(), 1u);
    const scope::Generation& g = window.points().generation(0);
    ASSERT_EQ(g.rows(), 2);
    EXPECT_EQ(g.value(1, 1), std::complex<double>(4.0));
    EXPECT_TRUE(window.log_lines().join('\n').contains(QStringLiteral("cut short at byte")))
        << window.log_lines().join('\n').toStdString();
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
}
