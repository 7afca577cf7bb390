// ZmqQueue and Producer over real sockets: order, batches, malformed messages, several
// producers, endpoints and binding rules, back-pressure, delivery at exit, and the
// lumenfold-send tool.
#include <tellurix/lumenfold/transport.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "../support/warnings.h"
#include "queue_drain.h"

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using tellurix::lumenfold::host::Value;
namespace host = tellurix::lumenfold::host;
namespace transport = tellurix::lumenfold::transport;
using namespace std::chrono_literals;

using queue_test::drain;
using queue_test::record;

class Endpoints : public queue_test::EachTransport {};

TEST_P(Endpoints, ItemsArriveInOrderWithKindsIntact) {
    transport::ZmqQueue queue(endpoint());
    EXPECT_TRUE(queue.empty());
    transport::Producer producer(queue.endpoint());
    const std::vector<Value> batch{Value(),
                                   Value(false),
                                   Value(0),
                                   Value(""),
                                   Value(1.0),
                                   Value::list({"PD", 1}),
                                   Value::tuple({"PD", 1}),
                                   Value::float_array({1, 2}),
                                   Value::complex_array({{1, -1}})};
    EXPECT_TRUE(producer.send("PN", Value::str_list({"t", "volts"})));
    EXPECT_TRUE(producer.send_batch(batch));
    EXPECT_TRUE(producer.send_item(Value::list({"ROLL", Value()})));

    std::vector<Value> expected{Value::tuple({"PN", Value::str_list({"t", "volts"})})};
    expected.insert(expected.end(), batch.begin(), batch.end());
    expected.push_back(Value::list({"ROLL", Value()}));
    EXPECT_EQ(drain(queue, expected.size()), expected);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.messages(), 3u);
    EXPECT_EQ(queue.items(), expected.size());
    EXPECT_EQ(queue.dropped_messages(), 0u);
    EXPECT_GT(queue.bytes(), 0u);
    EXPECT_EQ(producer.sent_messages(), 3u);
    EXPECT_TRUE(producer.close());
}

TEST_P(Endpoints, LongBatchIsSplitAndStaysInOrder) {
    transport::ZmqQueue queue(endpoint());
    transport::Producer producer(queue.endpoint());
    std::vector<Value> items;
    for (int i = 0; i < 20000; ++i)
        items.push_back(record(i));
    EXPECT_TRUE(producer.send_batch(items));
    EXPECT_EQ(drain(queue, items.size()), items);
    EXPECT_GT(queue.messages(), 1u);
}

TEST_P(Endpoints, BatchOfBigItemsIsSplitBySizeAndStaysInOrder) {
    // Twenty 100 kB traces: more than one message's worth of bytes, though far fewer
    // items than a message may hold; so a message ends early and says how many items
    // it really carries.
    transport::ZmqQueue queue(endpoint());
    transport::Producer producer(queue.endpoint());
    std::vector<Value> items;
    for (int i = 0; i < 20; ++i)
        items.push_back(Value::tuple({"TD", Value::float_array(QVector<double>(12'500, i))}));
    items.push_back(record(20)); // and a small item after them
    EXPECT_TRUE(producer.send_batch(items));
    EXPECT_EQ(drain(queue, items.size()), items);
    EXPECT_GT(queue.messages(), 1u);
    EXPECT_LT(queue.messages(), items.size());
    EXPECT_EQ(queue.dropped_messages(), 0u);
}

TEST_P(Endpoints, BuffersOfSentMessagesAreReusedWithoutTouchingThoseInFlight) {
    // Big and small items alternate, each different, faster than they can be written:
    // messages still queued must keep their bytes while later ones are encoded.
    transport::ZmqQueue queue(endpoint());
    transport::Producer producer(queue.endpoint());
    std::vector<Value> sent;
    for (int i = 0; i < 300; ++i) {
        const int samples = i % 3 == 0 ? 8 : 2'500 + 97 * (i % 50);
        QVector<double> trace(samples);
        for (int k = 0; k < samples; ++k)
            trace[k] = i * 1e4 + k;
        sent.push_back(Value::tuple({"TD", Value::float_array(trace)}));
        ASSERT_TRUE(producer.send_item(sent.back()));
        if (i % 10 == 9) {
            const std::vector<Value> batch(sent.end() - 4, sent.end());
            ASSERT_TRUE(producer.send_batch(batch));
            sent.insert(sent.end(), batch.begin(), batch.end());
        }
    }
    EXPECT_EQ(drain(queue, sent.size()), sent);
    EXPECT_TRUE(producer.close());
}

TEST_P(Endpoints, GetWaitsForAnItemSentLater) {
    transport::ZmqQueue queue(endpoint());
    const QString where = queue.endpoint();
    std::thread later([where] {
        std::this_thread::sleep_for(50ms);
        transport::Producer(where).send("ROLL", Value());
    });
    EXPECT_EQ(queue.get(), Value::tuple({"ROLL", Value()}));
    later.join();
}

TEST_P(Endpoints, MalformedMessageIsDroppedAndTheRestStillComes) {
    Warnings warnings;
    transport::ZmqQueue queue(endpoint());
    queue_test::RawSender raw(queue.endpoint());
    raw.send(transport::encode({record(1), record(2)}, 1));
    raw.send(QByteArray("\x92\x01\xc0", 3));                                  // version 1
    raw.send(transport::encode_item(record(3), 2), zmq::send_flags::sndmore); // two frames
    raw.send(transport::encode_item(record(4), 3));
    // Cut in its last item: the items before the cut are dropped with the message.
    raw.send(transport::encode({record(6), record(7)}, 4).chopped(3));
    raw.send(QByteArray("\x93\xcb\x40\0\0\0\0\0\0\0\x05\xc0", 12)); // version 2.0
    raw.send(transport::encode_item(record(5), 6));
    raw.socket.set(zmq::sockopt::linger, 1000);

    EXPECT_EQ(drain(queue, 3), (std::vector<Value>{record(1), record(2), record(5)}));
    EXPECT_TRUE(queue.empty());
    // The header faults are found as the messages arrive, the others as they are decoded.
    std::sort(warnings.texts.begin(), warnings.texts.end());
    EXPECT_EQ(warnings.texts,
              (std::vector<QString>{
                  "ZmqQueue: dropped a malformed message: message is truncated",
                  "ZmqQueue: dropped a malformed message: more than one frame",
                  "ZmqQueue: dropped a malformed message: the version must be an integer",
                  "ZmqQueue: dropped a message of wire format 1; this consumer reads format 2: "
                  "update the producer",
              }));
    EXPECT_EQ(queue.dropped_messages(), 4u);
    EXPECT_EQ(queue.items(), 3u);
    // The producer of the old format is told so, once.
    zmq::message_t answer;
    ASSERT_TRUE(raw.socket.recv(answer));
    EXPECT_EQ(answer.to_string().substr(0, 9), std::string("\x93\xa7refused"));
}

TEST_P(Endpoints, SeveralProducersKeepTheirOwnOrder) {
    transport::ZmqQueue queue(endpoint());
    const QString where = queue.endpoint();
    constexpr int producers = 4, each = 500;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([where, p] {
            transport::Producer producer(where);
            for (int i = 0; i < each; ++i)
                producer.send("PD", Value::list({p, i}));
        });
    }
    const std::vector<Value> items = drain(queue, producers * each);
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(items.size(), static_cast<std::size_t>(producers * each));
    std::vector<std::int64_t> next(producers, 0);
    for (const Value& item : items) {
        const Value& data = item[1];
        const auto p = static_cast<std::size_t>(data[0].as_int());
        EXPECT_EQ(data[1].as_int(), next[p]++) << "producer " << p;
    }
}

// A producer may start before its consumer: a blocking producer waits for it, and what
// it sent on its first credit arrives in order once the consumer binds.
TEST_P(Endpoints, ProducerStartedBeforeTheConsumerWaitsAndDelivers) {
    // A fixed tcp port is needed for connect-before-bind; take one the system hands out.
    QString where = endpoint();
    if (where.startsWith("tcp")) {
        transport::ZmqQueue probe(where);
        where = probe.endpoint();
    }
    constexpr int count = 3000;
    std::atomic<int> sent{0};
    bool closed = false;
    std::thread producer_thread([&] {
        transport::Producer producer(where);
        for (int i = 0; i < count; ++i) {
            producer.send("PD", Value::list({i}));
            ++sent;
        }
        closed = producer.close();
    });
    std::this_thread::sleep_for(300ms);
    // Held back at its first credit, which ends well short of everything.
    EXPECT_LT(sent.load(), count);
    EXPECT_GT(sent.load(), 0);
    transport::ZmqQueue queue(where);
    const std::vector<Value> items = drain(queue, count);
    producer_thread.join();
    ASSERT_EQ(items.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(items[static_cast<std::size_t>(i)], Value::tuple({"PD", Value::list({i})}));
    EXPECT_TRUE(closed);
}

TEST_P(Endpoints, DropModeBeforeTheConsumerCountsWhatFindsNoRoom) {
    QString where = endpoint();
    if (where.startsWith("tcp")) {
        transport::ZmqQueue probe(where);
        where = probe.endpoint();
    }
    transport::Producer::Options options;
    options.drop_when_full = true;
    transport::Producer producer(where, options);
    // Every seventh item big enough to be handed over without a copy, so that dropped
    // messages of both kinds give their buffers back.
    const auto data = [](int i) {
        return i % 7 == 0 ? Value::float_array(QVector<double>(3'000, i)) : Value::list({i});
    };
    std::vector<int> accepted;
    for (int i = 0; i < 600; ++i)
        if (producer.send("PD", data(i)))
            accepted.push_back(i);
    EXPECT_GT(accepted.size(), 0u);
    EXPECT_LT(accepted.size(), 600u);
    EXPECT_EQ(producer.dropped_messages(), 600u - accepted.size());

    transport::ZmqQueue queue(where);
    const std::vector<Value> items = drain(queue, accepted.size());
    ASSERT_EQ(items.size(), accepted.size());
    for (std::size_t k = 0; k < accepted.size(); ++k)
        EXPECT_EQ(items[k], Value::tuple({"PD", data(accepted[k])}));
    EXPECT_TRUE(producer.close());
}

// The producer process sends and leaves at once while this consumer is still well
// behind (it takes items slower than they come), so the producer's socket is closed with
// items queued on both sides and in the kernel: exactly where a tail gets lost.
TEST_P(Endpoints, NothingIsLostWhenTheProducerExitsRightAfterSending) {
    transport::ZmqQueue queue(endpoint());
    constexpr int runs = 20, count = 5000;
    for (int run = 0; run < runs; ++run) {
        QProcess child;
        child.start(QStringLiteral(LUMENFOLD_TEST_PRODUCER),
                    {queue.endpoint(), QString::number(count)});
        std::vector<Value> items;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (items.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (queue.empty() || items.size() % 50 == 49)
                std::this_thread::sleep_for(1ms);
            if (!queue.empty())
                items.push_back(queue.get());
        }
        ASSERT_TRUE(child.waitForFinished(30000)) << "run " << run;
        ASSERT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
        ASSERT_EQ(items.size(), static_cast<std::size_t>(count)) << "run " << run;
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(items[static_cast<std::size_t>(i)], record(i)) << "run " << run;
        EXPECT_TRUE(queue.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, Endpoints, ::testing::Values("ipc", "tcp"));

// ---------------------------------------------------------------------------
// Endpoint text and binding rules
// ---------------------------------------------------------------------------

// The texts a user may type are checked from a table: test_endpoint.cpp.

TEST(Endpoint, DefaultFollowsTheRuntimeDirectory) {
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const bool had = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    EXPECT_EQ(transport::default_endpoint(), "ipc://" + dir.path() + "/lumenfold.ipc");
    EXPECT_EQ(transport::normalize_endpoint(QString()), transport::default_endpoint());
    const QString fallback = QStringLiteral("ipc:///tmp/lumenfold-%1/queue.ipc").arg(::getuid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath("missing")));
    EXPECT_EQ(transport::default_endpoint(), fallback);
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(transport::default_endpoint(), fallback);
    if (had)
        qputenv("XDG_RUNTIME_DIR", saved);
}

// The directory a default endpoint lives in when XDG_RUNTIME_DIR is unset sits in /tmp,
// where anyone may have made it first: it must be this user's and closed to others.
TEST(Endpoint, PrivateDirectoryIsMadeClosedAndRefusedWhenOpen) {
    QTemporaryDir parent;
    const QString dir = parent.filePath(QStringLiteral("lumenfold-%1").arg(::getuid()));
    const QString endpoint = "ipc://" + dir + "/queue.ipc";
    const QByteArray path = QFile::encodeName(dir);
    {
        transport::ZmqQueue queue(endpoint);
        struct stat st {};
        ASSERT_EQ(::lstat(path.constData(), &st), 0) << "the consumer makes the directory";
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        transport::Producer producer(endpoint);
        EXPECT_TRUE(producer.connected());
    }
    struct Open {
        const char* name;
        mode_t mode;
    };
    for (const Open& open : {Open{"group may enter", 0750}, Open{"anyone may write", 0777},
                             Open{"others may list", 0704}}) {
        SCOPED_TRACE(open.name);
        ASSERT_EQ(::chmod(path.constData(), open.mode), 0);
        try {
            transport::ZmqQueue queue(endpoint);
            ADD_FAILURE() << "bound in an open directory";
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains(dir)) << e.what();
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains("XDG_RUNTIME_DIR")) << e.what();
        }
        EXPECT_THROW(transport::Producer producer(endpoint), std::runtime_error);
    }
    ASSERT_EQ(::chmod(path.constData(), 0700), 0);
    if (::getuid() == 0) {
        // Made first by another user (only root can stage that here).
        ASSERT_EQ(::chown(path.constData(), 65534, 65534), 0);
        EXPECT_THROW(transport::ZmqQueue queue(endpoint), std::runtime_error);
        EXPECT_THROW(transport::Producer producer(endpoint), std::runtime_error);
        ASSERT_EQ(::chown(path.constData(), 0, 0), 0);
    }
    // A file (or link) in its place is no directory of ours either.
    ASSERT_TRUE(QDir(dir).removeRecursively());
    QFile squatter(dir);
    ASSERT_TRUE(squatter.open(QIODevice::WriteOnly));
    squatter.close();
    EXPECT_THROW(transport::ZmqQueue queue(endpoint), std::runtime_error);
    // A producer may start before the consumer: a missing directory is fine for it, and
    // it does not make one.
    ASSERT_TRUE(QFile::remove(dir));
    transport::Producer early(endpoint);
    EXPECT_TRUE(early.connected());
    EXPECT_FALSE(QFileInfo::exists(dir));
    // Other directories are the user's own business.
    const QString elsewhere = parent.filePath(QStringLiteral("open"));
    ASSERT_TRUE(QDir().mkdir(elsewhere));
    ASSERT_EQ(::chmod(QFile::encodeName(elsewhere).constData(), 0777), 0);
    transport::ZmqQueue anywhere("ipc://" + elsewhere + "/q.ipc");
    EXPECT_FALSE(anywhere.endpoint().isEmpty());
}

TEST(Binding, AddressWithoutHostListensOnLoopbackOnly) {
    transport::ZmqQueue queue(QStringLiteral("tcp://:*"));
    EXPECT_TRUE(queue.endpoint().startsWith("tcp://127.0.0.1:")) << queue.endpoint().toStdString();
    transport::Security trusted;
    trusted.allow_insecure_network = true;
    transport::ZmqQueue all(QStringLiteral("tcp://*:*"), transport::Limits(), trusted);
    EXPECT_TRUE(all.endpoint().startsWith("tcp://0.0.0.0:")) << all.endpoint().toStdString();
}

TEST(Binding, TcpPortInUseFailsClearly) {
    transport::ZmqQueue first(QStringLiteral("tcp://127.0.0.1:*"));
    const QString taken = first.endpoint();
    try {
        transport::ZmqQueue second(taken);
        FAIL() << "bound twice";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(taken.toStdString()), std::string::npos) << e.what();
    }
}

TEST(Binding, IpcPathOfALiveConsumerIsNotTaken) {
    QTemporaryDir dir;
    const QString where = "ipc://" + dir.filePath("q.ipc");
    transport::ZmqQueue first(where);
    EXPECT_THROW(transport::ZmqQueue second(where), std::runtime_error);
    // The first consumer still gets what is sent.
    transport::Producer(where).send("ROLL", Value());
    EXPECT_EQ(drain(first, 1), std::vector<Value>{Value::tuple({"ROLL", Value()})});
}

TEST(Binding, StaleIpcFileIsReplaced) {
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath("q.ipc"));
    // A socket file whose listener is gone, as a crashed consumer leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(QFile::exists(QFile::decodeName(path)));

    transport::ZmqQueue queue("ipc://" + QFile::decodeName(path));
    transport::Producer(queue.endpoint()).send("ROLL", Value());
    EXPECT_EQ(drain(queue, 1).size(), 1u);
}

TEST(Binding, ConsumerRemovesItsSocketFileAndTheNextOneBinds) {
    QTemporaryDir dir;
    const QString path = dir.filePath("q.ipc");
    { transport::ZmqQueue first("ipc://" + path); }
    EXPECT_FALSE(QFile::exists(path));
    transport::ZmqQueue second("ipc://" + path);
    transport::Producer(second.endpoint()).send("ROLL", Value());
    EXPECT_EQ(drain(second, 1).size(), 1u);
}

TEST(Binding, OrdinaryFileAtTheIpcPathIsLeftAlone) {
    QTemporaryDir dir;
    QFile file(dir.filePath("q.ipc"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("keep me");
    file.close();
    EXPECT_THROW(transport::ZmqQueue("ipc://" + file.fileName()), std::runtime_error);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("keep me"));
}

// ---------------------------------------------------------------------------
// Producer shutdown
// ---------------------------------------------------------------------------

TEST(Producer, SendWithoutConnectionThrows) {
    transport::Producer producer;
    EXPECT_FALSE(producer.connected());
    EXPECT_THROW(producer.send("ROLL", Value()), std::logic_error);
}

TEST(Producer, CloseWithoutConsumerReportsTheLoss) {
    Warnings warnings;
    QTemporaryDir dir;
    transport::Producer::Options options;
    options.linger_ms = 100;
    transport::Producer producer("ipc://" + dir.filePath("nobody.ipc"), options);
    EXPECT_TRUE(producer.send("ROLL", Value()));
    EXPECT_FALSE(producer.close());
    ASSERT_EQ(warnings.texts.size(), 1u);
    EXPECT_TRUE(warnings.texts[0].startsWith("Producer::close: "))
        << warnings.texts[0].toStdString();
    EXPECT_TRUE(producer.close()); // already closed: nothing more to report
    EXPECT_EQ(warnings.texts.size(), 1u);
}

TEST(Producer, CloseAfterDeliveryIsQuietAndTrue) {
    Warnings warnings;
    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    transport::Producer producer(queue.endpoint());
    producer.send("ROLL", Value());
    EXPECT_TRUE(producer.close());
    EXPECT_TRUE(warnings.texts.empty());
    EXPECT_EQ(drain(queue, 1).size(), 1u);
}

// ---------------------------------------------------------------------------
// lumenfold-send
// ---------------------------------------------------------------------------

struct ToolRun {
    int code;
    QString err;
};

ToolRun send_tool(const QStringList& args, const QByteArray& input = QByteArray()) {
    QProcess tool;
    tool.start(QStringLiteral(LUMENFOLD_SEND_TOOL), args);
    tool.write(input);
    tool.closeWriteChannel();
    EXPECT_TRUE(tool.waitForFinished(30000));
    return {tool.exitCode(), QString::fromUtf8(tool.readAllStandardError())};
}

TEST(SendTool, ArgumentsBecomeItems) {
    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    const ToolRun run =
        send_tool({"--endpoint", queue.endpoint(), R"(PN ["t","volts"])",
                   "PD [0.5, 1.25, 2, -3e2, null, true]", R"(PXY "t,volts")", "ROLL", "--raw",
                   R"(["PD", 1])", "--raw", R"(("PD", 1, 2))", "--raw", "1.0"});
    EXPECT_EQ(run.code, 0) << run.err.toStdString();
    const std::vector<Value> expected{
        Value::tuple({"PN", Value::list({"t", "volts"})}),
        Value::tuple({"PD", Value::list({0.5, 1.25, 2, -300.0, Value(), true})}),
        Value::tuple({"PXY", "t,volts"}),
        Value::tuple({"ROLL", Value()}),
        Value::list({"PD", 1}),
        Value::tuple({"PD", 1, 2}),
        Value(1.0)};
    EXPECT_EQ(drain(queue, expected.size()), expected);
}

TEST(SendTool, StandardInputLinesBecomeItems) {
    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    const ToolRun run = send_tool({"--endpoint", queue.endpoint()},
                                  "# header\nTN [\"f\", \"mag\"]\n\n  TD [1, 2.5]\nROLL\n");
    EXPECT_EQ(run.code, 0) << run.err.toStdString();
    const std::vector<Value> expected{Value::tuple({"TN", Value::list({"f", "mag"})}),
                                      Value::tuple({"TD", Value::list({1, 2.5})}),
                                      Value::tuple({"ROLL", Value()})};
    EXPECT_EQ(drain(queue, expected.size()), expected);
}

TEST(SendTool, BadInputIsReportedAndTheRestSent) {
    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    const ToolRun run = send_tool({"--endpoint", queue.endpoint()},
                                  "PD [1,\nPD {\"a\": 1}\nPD 99999999999999999999\n"
                                  "PD \"\\ud800\"\nROLL\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains("line 1")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("line 2")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("line 3")) << run.err.toStdString();
    // Half a surrogate pair has no UTF-8 form: refused, never sent as "?".
    EXPECT_TRUE(run.err.contains(R"(line 4: transport::encode: string '\ud800' holds a lone)"))
        << run.err.toStdString();
    EXPECT_EQ(drain(queue, 1), std::vector<Value>{Value::tuple({"ROLL", Value()})});
}

TEST(SendTool, UsageErrors) {
    EXPECT_EQ(send_tool({"--help"}).code, 0);
    EXPECT_EQ(send_tool({"--bogus"}).code, 2);
    EXPECT_EQ(send_tool({"--endpoint"}).code, 2);
}

} // namespace
