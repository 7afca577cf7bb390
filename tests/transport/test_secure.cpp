// Secured queues over real loopback sockets: known producers get in, everyone else is
// refused visibly on both sides with nothing of theirs applied, the authorized list is
// read again while the queue runs, the bytes on the wire are encrypted, and listening
// beyond this machine needs security or an explicit allowance.
#include <tellurix/lumenfold/transport.h>

#include "queue_drain.h"
#include "recording_proxy.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tellurix::lumenfold::host::Value;
namespace host = tellurix::lumenfold::host;
namespace transport = tellurix::lumenfold::transport;
using namespace std::chrono_literals;

struct Warnings {
    std::mutex mutex;
    std::vector<QString> texts;
    host::WarningHandler previous;
    Warnings()
        : previous(host::set_warning_handler([this](const QString& t) {
            std::lock_guard<std::mutex> lock(mutex);
            texts.push_back(t);
        })) {}
    ~Warnings() { host::set_warning_handler(previous); }
    int count_containing(const QString& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count_if(texts.begin(), texts.end(),
                                              [&](const QString& t) { return t.contains(part); }));
    }
};

QString public_half(const QString& key_file) {
    QFile file(key_file + ".pub");
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll().trimmed());
}

void append_line(const QString& path, const QString& line) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(line.toLatin1() + "\n");
}

// A secured queue on loopback tcp and its key files in a directory of their own.
struct SecureConsumer {
    QTemporaryDir dir;
    transport::Security security;
    std::unique_ptr<transport::ZmqQueue> queue;

    explicit SecureConsumer(const QString& endpoint = QStringLiteral("tcp://127.0.0.1:*")) {
        security.key_file = dir.filePath(QStringLiteral("server.key"));
        security.authorized_producers = dir.filePath(QStringLiteral("authorized_producers"));
        QFile list(security.authorized_producers);
        EXPECT_TRUE(list.open(QIODevice::WriteOnly));
        list.write("# producers let in\n");
        list.close();
        queue = std::make_unique<transport::ZmqQueue>(endpoint, transport::Limits(), security);
    }
    // A producer key file; its public half is listed when `listed`.
    QString producer_key(const QString& name, bool listed) {
        const QString path = dir.filePath(name);
        const QString pub = transport::write_key_pair(path);
        if (listed)
            append_line(security.authorized_producers, pub + QStringLiteral("  # ") + name);
        return path;
    }
    transport::Producer::Options options(const QString& key_file) const {
        transport::Producer::Options o;
        o.server_key = queue->public_key();
        o.key_file = key_file;
        o.linger_ms = 3000;
        return o;
    }
};

// ---------------------------------------------------------------------------
// Who gets in
// ---------------------------------------------------------------------------

TEST(Secure, KnownProducerGetsIn) {
    SecureConsumer consumer;
    ASSERT_EQ(consumer.queue->public_key(), public_half(consumer.security.key_file));
    transport::Producer producer(consumer.queue->endpoint(),
                                 consumer.options(consumer.producer_key("lab.key", true)));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(producer.send(QStringLiteral("set_data"), Value::list({Value(i)})));
    EXPECT_TRUE(producer.close());
    const std::vector<Value> items = queue_test::drain(*consumer.queue, 100);
    ASSERT_EQ(items.size(), 100u);
    EXPECT_EQ(items[99][1][0].as_int(), 99);
    EXPECT_EQ(consumer.queue->refused_producers(), 0u);
}

enum class Stranger { UnknownKey, NoKeyOfItsOwn, Unencrypted, WrongServerKey };

struct RefusalCase {
    const char* name;
    Stranger who;
    // Part of what the producer is told, and part of what the consumer logs after the
    // producer's address.
    const char* producer_hears;
    const char* consumer_logs;
    // Refusals counted by the consumer.
    std::uint64_t counted;
};

class Refused : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refused, NothingAppliedAndBothSidesSaySo) {
    const RefusalCase& c = GetParam();
    Warnings warnings;
    SecureConsumer consumer;
    // A listed producer beside the stranger: the queue stays open to it.
    const QString known = consumer.producer_key("known.key", true);
    transport::Producer::Options options;
    if (c.who == Stranger::UnknownKey)
        options = consumer.options(consumer.producer_key("stranger.key", false));
    else if (c.who == Stranger::NoKeyOfItsOwn)
        options = consumer.options(QString());
    else if (c.who == Stranger::WrongServerKey) {
        // A listed key, but encrypting for another consumer.
        options = consumer.options(consumer.producer_key("elsewhere.key", true));
        options.server_key = transport::write_key_pair(consumer.dir.filePath("other.key"));
    }
    options.linger_ms = 3000;
    transport::Producer stranger(consumer.queue->endpoint(), options);
    // Within the first credit, so the sends themselves do not wait for an answer.
    for (int i = 0; i < 10; ++i)
        stranger.send(QStringLiteral("clear"), Value::list({Value(QStringLiteral("intruder"))}));
    EXPECT_FALSE(stranger.close());
    EXPECT_EQ(warnings.count_containing(QStringLiteral("the consumer refused this producer")), 1);
    EXPECT_EQ(warnings.count_containing(QString::fromLatin1(c.producer_hears)), 1);

    transport::Producer friendly(consumer.queue->endpoint(), consumer.options(known));
    friendly.send(QStringLiteral("marker"), Value::list({}));
    EXPECT_TRUE(friendly.close()) << warnings.texts.back().toStdString();
    const std::vector<Value> items = queue_test::drain(*consumer.queue, 2, 2000ms);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0][0].as_str(), QStringLiteral("marker"));
    EXPECT_EQ(consumer.queue->messages(), 1u);
    EXPECT_EQ(consumer.queue->refused_producers(), c.counted);
    // Once, however often ZeroMQ tried to connect, and with the address when ZeroMQ left
    // the connection open long enough to read it (a refused key always has it).
    EXPECT_EQ(warnings.count_containing(QString::fromLatin1(c.consumer_logs)), 1);
    EXPECT_EQ(
        warnings.count_containing(QStringLiteral("ZmqQueue: refused a producer at 127.0.0.1: ") +
                                  QString::fromLatin1(c.consumer_logs)) +
            warnings.count_containing(
                QStringLiteral("ZmqQueue: refused a producer at 127.0.0.1 with key")) +
            warnings.count_containing(
                QStringLiteral("ZmqQueue: refused a producer whose address was gone")),
        1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Refused,
    testing::Values(RefusalCase{"UnknownKey", Stranger::UnknownKey,
                                "does not know this producer's key", "is not listed in", 1},
                    RefusalCase{"NoKeyOfItsOwn", Stranger::NoKeyOfItsOwn,
                                "give this producer a key file", "is not listed in", 1},
                    RefusalCase{"Unencrypted", Stranger::Unencrypted,
                                "it encrypts and lets in only", "it does not encrypt", 1},
                    RefusalCase{"WrongServerKey", Stranger::WrongServerKey,
                                "the consumer's public key?",
                                "its handshake could not be decrypted", 1}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(Secure, UnknownKeyIsLoggedOnceWithAddressAndKey) {
    Warnings warnings;
    SecureConsumer consumer;
    const QString key = consumer.producer_key("stranger.key", false);
    for (int attempt = 0; attempt < 3; ++attempt) {
        transport::Producer p(consumer.queue->endpoint(), consumer.options(key));
        p.send(QStringLiteral("clear"), Value::list({}));
        EXPECT_FALSE(p.close());
    }
    consumer.queue->empty(); // shows what the receiving thread noted
    EXPECT_EQ(warnings.count_containing(QStringLiteral("ZmqQueue: refused a producer at 127.0.0.1 "
                                                       "with key ") +
                                        public_half(key)),
              1);
    EXPECT_EQ(consumer.queue->refused_producers(), 1u);
}

TEST(Secure, KeyAddedWhileRunningGetsIn) {
    SecureConsumer consumer;
    const QString key = consumer.producer_key("late.key", false);
    {
        transport::Producer before(consumer.queue->endpoint(), consumer.options(key));
        before.send(QStringLiteral("early"), Value::list({}));
        EXPECT_FALSE(before.close());
    }
    append_line(consumer.security.authorized_producers, public_half(key));
    transport::Producer after(consumer.queue->endpoint(), consumer.options(key));
    after.send(QStringLiteral("late"), Value::list({}));
    EXPECT_TRUE(after.close());
    const std::vector<Value> items = queue_test::drain(*consumer.queue, 2, 2000ms);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0][0].as_str(), QStringLiteral("late"));
}

enum class End { Consumer, Producer };

struct ModeCase {
    const char* name;
    End end;
    mode_t mode;
};

class KeyFileMode : public testing::TestWithParam<ModeCase> {};

TEST_P(KeyFileMode, SecretKeyOthersMayReadIsRefusedWithAMessage) {
    const ModeCase& c = GetParam();
    SecureConsumer consumer;
    const QString key_file = consumer.dir.filePath(QStringLiteral("exposed.key"));
    transport::write_key_pair(key_file);
    ASSERT_EQ(::chmod(QFile::encodeName(key_file).constData(), c.mode), 0);
    const char* who = c.end == End::Consumer ? "ZmqQueue" : "Producer";
    try {
        if (c.end == End::Consumer) {
            transport::Security security = consumer.security;
            security.key_file = key_file;
            transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"), transport::Limits(),
                                      security);
        } else {
            transport::Producer producer(consumer.queue->endpoint(), consumer.options(key_file));
        }
        FAIL() << "used a secret key others may read";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(std::string(who) + ": the secret key file " + key_file.toStdString()),
                  std::string::npos)
            << what;
        EXPECT_NE(what.find("chmod 600"), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, KeyFileMode,
                         testing::Values(ModeCase{"ConsumerWorldReadable", End::Consumer, 0644},
                                         ModeCase{"ConsumerGroupReadable", End::Consumer, 0640},
                                         ModeCase{"ProducerWorldReadable", End::Producer, 0644},
                                         ModeCase{"ProducerGroupReadable", End::Producer, 0640}),
                         [](const testing::TestParamInfo<ModeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Secure, ProducerKeyFileWithoutServerKeyIsAMistake) {
    QTemporaryDir dir;
    transport::Producer::Options o;
    o.key_file = dir.filePath(QStringLiteral("p.key"));
    EXPECT_THROW(transport::Producer(QStringLiteral("tcp://127.0.0.1:1"), o),
                 std::invalid_argument);
    o.server_key = QStringLiteral("short");
    EXPECT_THROW(transport::Producer(QStringLiteral("tcp://127.0.0.1:1"), o),
                 std::invalid_argument);
}

// ---------------------------------------------------------------------------
// What the wire shows
// ---------------------------------------------------------------------------

struct WireCase {
    const char* name;
    bool secure;
};

class OnTheWire : public testing::TestWithParam<WireCase> {};

TEST_P(OnTheWire, ColumnNameIsReadableOnlyWithoutSecurity) {
    SecureConsumer secured;
    transport::ZmqQueue plain(QStringLiteral("tcp://127.0.0.1:*"));
    transport::ZmqQueue& queue = GetParam().secure ? *secured.queue : plain;
    const quint16 port =
        static_cast<quint16>(queue.endpoint().section(QLatin1Char(':'), -1).toUInt());
    queue_test::RecordingProxy proxy(port);
    transport::Producer::Options options;
    if (GetParam().secure)
        options = secured.options(secured.producer_key("p.key", true));
    transport::Producer producer(QStringLiteral("tcp://127.0.0.1:%1").arg(proxy.port()), options);
    const QString column = QStringLiteral("coolant_temperature_k");
    producer.send(QStringLiteral("set_columns"), Value::list({Value(column)}));
    EXPECT_TRUE(producer.close());
    const std::vector<Value> items = queue_test::drain(queue, 1);
    ASSERT_EQ(items.size(), 1u); // it went through the proxy
    EXPECT_EQ(items[0][1][0].as_str(), column);
    const QByteArray wire = proxy.recorded();
    EXPECT_GT(wire.size(), 0);
    EXPECT_EQ(wire.contains(column.toLatin1()), !GetParam().secure);
}

INSTANTIATE_TEST_SUITE_P(Rows, OnTheWire,
                         testing::Values(WireCase{"Secured", true}, WireCase{"Plain", false}),
                         [](const testing::TestParamInfo<WireCase>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Listening beyond this machine
// ---------------------------------------------------------------------------

struct ReachCase {
    const char* endpoint;
    bool beyond;
};

class Reach : public testing::TestWithParam<ReachCase> {};

TEST_P(Reach, LoopbackAndIpcStayOnThisMachine) {
    EXPECT_EQ(transport::reaches_beyond_this_machine(QString::fromLatin1(GetParam().endpoint)),
              GetParam().beyond)
        << GetParam().endpoint;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Reach,
    testing::Values(ReachCase{"tcp://*:5555", true}, ReachCase{"tcp://0.0.0.0:5555", true},
                    ReachCase{"tcp://192.168.1.20:5555", true}, ReachCase{"tcp://eth0:5555", true},
                    ReachCase{"tcp://[::]:5555", true}, ReachCase{"tcp://lab-host:5555", true},
                    ReachCase{"tcp://127.0.0.1:5555", false}, ReachCase{"tcp://127.1.2.3:*", false},
                    ReachCase{"tcp://localhost:5555", false}, ReachCase{"tcp://[::1]:5555", false},
                    ReachCase{"ipc:///tmp/x/q.ipc", false}, ReachCase{"inproc://q", false}));

TEST(Policy, OpenNetworkNeedsSecurityOrAnAllowance) {
    try {
        transport::ZmqQueue open(QStringLiteral("tcp://*:*"));
        FAIL() << "listened on every interface without encryption";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("tcp://*:*"), std::string::npos) << what;
        EXPECT_NE(what.find("--secure"), std::string::npos) << what;
        EXPECT_NE(what.find("--insecure"), std::string::npos) << what;
    }
    transport::Security trusted;
    trusted.allow_insecure_network = true;
    EXPECT_NO_THROW(
        transport::ZmqQueue(QStringLiteral("tcp://0.0.0.0:*"), transport::Limits(), trusted));
    SecureConsumer secured(QStringLiteral("tcp://*:*"));
    EXPECT_FALSE(secured.queue->public_key().isEmpty());
}

} // namespace
