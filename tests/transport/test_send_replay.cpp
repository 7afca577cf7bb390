// lumenfold-send --replay: a stream recorded at one queue, sent again by the tool to
// another, arrives there item for item; a recording cut short sends its whole messages
// and says where it was cut.
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/transport.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "queue_drain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace tellurix::lumenfold;
using host::Value;
using namespace std::chrono_literals;

namespace {

// Takes `count` items as the queue tests do, then whatever else comes within a moment.
std::vector<Value> drain(transport::ZmqQueue& queue, std::size_t count) {
    std::vector<Value> items = queue_test::drain(queue, count);
    std::this_thread::sleep_for(50ms);
    while (!queue.empty())
        items.push_back(queue.get());
    return items;
}

struct ToolRun {
    int code;
    QString err;
};

ToolRun send_tool(const QStringList& args) {
    QProcess tool;
    tool.start(QStringLiteral(LUMENFOLD_SEND_TOOL), args);
    tool.closeWriteChannel();
    EXPECT_TRUE(tool.waitForFinished(60000));
    return {tool.exitCode(), QString::fromUtf8(tool.readAllStandardError())};
}

// Records what reaches a queue from a producer that sends `items` in a few ways (one by
// one, in batches, a large array); returns what the queue took.
std::vector<Value> record_run(const QString& file) {
    std::vector<Value> sent;
    sent.push_back(Value::tuple({"PN", Value::str_list({"t", "v"})}));
    for (int i = 0; i < 3000; ++i)
        sent.push_back(Value::tuple({"PD", Value::list({i * 0.25, double(i % 17)})}));
    sent.push_back(Value::tuple({"ROLL", Value()}));
    QVector<double> wide(100'000);
    for (int i = 0; i < wide.size(); ++i)
        wide[i] = i * 1e-3;
    sent.push_back(Value::tuple({"TD", Value::list({Value::float_array(wide)})}));

    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    auto writer = std::make_shared<transport::RecordingWriter>(file);
    queue.set_tap([writer](const char* data, std::size_t size, std::int64_t t) {
        writer->append(static_cast<std::uint64_t>(t), data, size);
    });
    {
        transport::Producer producer(queue.endpoint());
        producer.send_item(sent[0]);
        producer.send_batch(std::vector<Value>(sent.begin() + 1, sent.end() - 2));
        producer.send_item(sent[sent.size() - 2]);
        producer.send_item(sent.back());
        EXPECT_TRUE(producer.close());
    }
    std::vector<Value> taken = drain(queue, sent.size());
    queue.set_tap({});
    EXPECT_TRUE(writer->close());
    EXPECT_EQ(taken, sent);
    return taken;
}

} // namespace

class SendReplay : public ::testing::TestWithParam<const char*> {};

TEST_P(SendReplay, RecordingArrivesItemForItem) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("run.lfrec"));
    const std::vector<Value> recorded = record_run(file);

    transport::ZmqQueue second(QStringLiteral("tcp://127.0.0.1:*"));
    QStringList args{"--endpoint", second.endpoint(), "--replay", file};
    if (*GetParam())
        args << "--speed" << GetParam();
    const ToolRun run = send_tool(args);
    EXPECT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_EQ(drain(second, recorded.size()), recorded);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SendReplay, ::testing::Values("", "1", "1000"),
                         [](const auto& info) {
                             return std::string(*info.param ? "x" : "fast") + info.param;
                         });

TEST(SendReplayFaults, CutRecordingSendsItsWholeMessages) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("run.lfrec"));
    const std::vector<Value> recorded = record_run(file);
    // Cut inside the last message (the large array): the messages before it remain.
    QFile f(file);
    ASSERT_TRUE(f.resize(f.size() - 10));

    transport::ZmqQueue second(QStringLiteral("tcp://127.0.0.1:*"));
    const ToolRun run = send_tool({"--endpoint", second.endpoint(), "--replay", file});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains(QStringLiteral("cut short at byte"))) << run.err.toStdString();
    EXPECT_EQ(drain(second, recorded.size() - 1),
              std::vector<Value>(recorded.begin(), recorded.end() - 1));
}

TEST(SendReplayFaults, UsageErrorsAndForeignFiles) {
    QTemporaryDir dir;
    const QString text = dir.filePath(QStringLiteral("notes.txt"));
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a recording at all, just some words\n");
    f.close();
    struct Case {
        QStringList args;
        int code;
        const char* says;
    } cases[] = {
        {{"--replay", text, "--endpoint", "tcp://127.0.0.1:9"}, 1, "notes.txt"},
        {{"--speed", "2", "PD [1]"}, 2, "--speed goes with --replay"},
        {{"--replay", text, "--speed", "0"}, 2, "--speed needs a positive number"},
        {{"--replay", text, "ROLL"}, 2, "--replay sends a recording"},
    };
    for (const Case& c : cases) {
        const ToolRun run = send_tool(c.args);
        EXPECT_EQ(run.code, c.code) << c.args.join(' ').toStdString();
        EXPECT_TRUE(run.err.contains(QString::fromLatin1(c.says))) << run.err.toStdString();
    }
}
