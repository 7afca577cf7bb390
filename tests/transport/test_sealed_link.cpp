// The sealed data connection beside a secured one, each end against a hand-made other end
// that speaks the documented messages: a producer switches to it only when the consumer
// offers a port that answers, without reordering anything, and falls back otherwise; a
// consumer applies only what was sealed for the producer it offered the channel to. Then
// both real ends together.
#include <tellurix/lumenfold/transport.h>

#include "queue_drain.h"
#include "recording_proxy.h"
#include "sealed.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <msgpack.hpp>
#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;
using namespace transport::detail;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Bytes {
    QByteArray bytes;
    void write(const char* data, std::size_t size) { bytes.append(data, static_cast<int>(size)); }
};

QByteArray credit(std::uint64_t acked) {
    Bytes out;
    msgpack::packer<Bytes> pk(out);
    pk.pack_array(7);
    pk.pack(std::string("credit"));
    pk.pack(2);
    pk.pack(7); // session
    pk.pack(0); // base
    pk.pack(acked);
    pk.pack(100000);
    pk.pack(std::uint64_t{1} << 30);
    return out.bytes;
}

QByteArray sealed_answer(std::uint16_t port, const SealKey& key) {
    Bytes out;
    msgpack::packer<Bytes> pk(out);
    pk.pack_array(5);
    pk.pack(std::string("sealed"));
    pk.pack(2);
    pk.pack(port);
    pk.pack(key.channel);
    pk.pack_bin(static_cast<std::uint32_t>(key.key.size()));
    pk.pack_bin_body(reinterpret_cast<const char*>(key.key.data()),
                     static_cast<std::uint32_t>(key.key.size()));
    return out.bytes;
}

QByteArray control(const std::string& word, std::uint64_t last_seq = 0) {
    Bytes out;
    msgpack::packer<Bytes> pk(out);
    pk.pack_array(word == "sync" ? 4 : 2);
    pk.pack(word);
    pk.pack(2);
    if (word == "sync") {
        pk.pack(last_seq);
        pk.pack(false);
    }
    return out.bytes;
}

// A message's control word, or its sequence number when it carries data.
struct Look {
    std::string word;
    std::uint64_t seq = 0;
};
Look look(const char* data, std::size_t size) {
    const msgpack::object_handle h = msgpack::unpack(data, size);
    const msgpack::object_array& a = h.get().via.array;
    Look l;
    if (a.ptr[0].type == msgpack::type::STR)
        l.word = a.ptr[0].as<std::string>();
    else
        l.seq = a.ptr[1].as<std::uint64_t>();
    return l;
}

void send_to(zmq::socket_t& socket, const std::string& peer, const QByteArray& body) {
    socket.send(zmq::buffer(peer), zmq::send_flags::sndmore);
    socket.send(zmq::buffer(body.constData(), static_cast<std::size_t>(body.size())),
                zmq::send_flags::none);
}

// A tcp port nobody listens on.
std::uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// ---------------------------------------------------------------------------
// The producer's end, against a hand-made secured consumer
// ---------------------------------------------------------------------------

enum class Offer { Port, NoPort, Silent, Unreachable };

std::uint16_t port_of(const std::string& endpoint) {
    return static_cast<std::uint16_t>(
        QString::fromStdString(endpoint).section(QLatin1Char(':'), -1).toUInt());
}

// A CURVE server that grants plenty of credit, answers "seal" as told, and keeps what
// comes over either connection in the order it came.
class HandMadeConsumer {
public:
    explicit HandMadeConsumer(Offer offer)
        : offer_(offer)
        , opener_(key_) {
        char server_public[41], server_secret[41];
        zmq_curve_keypair(server_public, server_secret);
        public_key = QString::fromLatin1(server_public);
        router_.set(zmq::sockopt::curve_server, true);
        router_.set(zmq::sockopt::curve_secretkey, server_secret);
        router_.bind("tcp://127.0.0.1:*");
        pull_.bind("tcp://127.0.0.1:*");
        endpoint = QString::fromStdString(router_.get(zmq::sockopt::last_endpoint));
        // The producer is sent through a proxy that keeps the sealed connection's bytes.
        proxy_.emplace(port_of(pull_.get(zmq::sockopt::last_endpoint)));
        pull_port_ = proxy_->port();
        thread_ = std::thread([this] { serve(); });
    }
    ~HandMadeConsumer() {
        stop_ = true;
        thread_.join();
        router_.set(zmq::sockopt::linger, 0);
    }

    QString endpoint, public_key;
    struct Arrival {
        std::uint64_t seq;
        bool sealed;
        std::vector<Value> items;
    };
    std::vector<Arrival> arrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }
    std::vector<QByteArray> sealed_frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    int unopened() const { return unopened_; }
    /// Every byte of the sealed connection, both ways, as a tcp capture would hold them.
    QByteArray sealed_wire() { return proxy_->recorded(); }

private:
    void serve() {
        zmq::pollitem_t items[2] = {{router_.handle(), 0, ZMQ_POLLIN, 0},
                                    {pull_.handle(), 0, ZMQ_POLLIN, 0}};
        std::uint64_t newest = 0;
        while (!stop_) {
            zmq::poll(items, 2, 10ms);
            zmq::message_t id, body;
            while (router_.recv(id, zmq::recv_flags::dontwait)) {
                (void)router_.recv(body);
                const std::string peer = id.to_string();
                const Look l = look(body.data<char>(), body.size());
                if (l.word == "sync")
                    send_to(router_, peer, credit(newest));
                else if (l.word == "seal" && offer_ != Offer::Silent)
                    send_to(router_, peer,
                            sealed_answer(offer_ == Offer::Port          ? pull_port_
                                          : offer_ == Offer::Unreachable ? closed_port()
                                                                         : 0,
                                          key_));
                else if (l.word.empty())
                    keep(l.seq, false, body.data<char>(), body.size(), newest);
            }
            while (pull_.recv(body, zmq::recv_flags::dontwait)) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    frames_.push_back(QByteArray(body.data<char>(), int(body.size())));
                }
                if (!opener_.open(body.data<char>(), body.size())) {
                    ++unopened_;
                    continue;
                }
                const char* text = body.data<char>() + seal_header_bytes;
                const std::size_t size = body.size() - seal_overhead;
                keep(look(text, size).seq, true, text, size, newest);
            }
        }
    }
    void keep(std::uint64_t seq, bool sealed, const char* data, std::size_t size,
              std::uint64_t& newest) {
        newest = std::max(newest, seq);
        std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.push_back({seq, sealed, transport::decode(data, size)});
    }

    const Offer offer_;
    const SealKey key_ = fresh_seal_key();
    Opener opener_;
    zmq::context_t context_{1};
    zmq::socket_t router_{context_, zmq::socket_type::router};
    zmq::socket_t pull_{context_, zmq::socket_type::pull};
    std::optional<queue_test::RecordingProxy> proxy_;
    std::uint16_t pull_port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> unopened_{0};
    std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    std::vector<QByteArray> frames_;
    std::thread thread_;
};

struct OfferCase {
    const char* name;
    Offer offer;
    bool sealed; // the data end up on the sealed connection
};

class ProducerSeals : public testing::TestWithParam<OfferCase> {};

TEST_P(ProducerSeals, WhenOfferedAndReachableWithNothingReordered) {
    HandMadeConsumer consumer(GetParam().offer);
    QTemporaryDir dir;
    transport::Producer::Options options;
    options.server_key = consumer.public_key;
    options.key_file = dir.filePath(QStringLiteral("p.key"));
    const QString column = QStringLiteral("coolant_temperature_k");
    QVector<double> trace(16384);
    for (int i = 0; i < trace.size(); ++i)
        trace[i] = i * 0.25;
    int sent = 0;
    {
        transport::Producer producer(consumer.endpoint, options);
        producer.send(QStringLiteral("set_columns"), Value::list({Value(column)}));
        ++sent;
        for (int round = 0; round < 30; ++round) {
            std::vector<Value> batch;
            for (int i = 0; i < 4; ++i, ++sent)
                batch.push_back(Value::tuple({QStringLiteral("TD"), Value::float_array(trace)}));
            producer.send_batch(batch);
            producer.send(column, Value(sent++));
        }
        EXPECT_TRUE(producer.close());
    }
    const auto arrivals = consumer.arrivals();
    ASSERT_FALSE(arrivals.empty());
    int items = 0;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_EQ(arrivals[i].seq, i + 1) << "the connections overtook each other";
        // Once sealed, always sealed.
        if (i > 0 && arrivals[i - 1].sealed) {
            EXPECT_TRUE(arrivals[i].sealed) << "message " << i + 1;
        }
        items += static_cast<int>(arrivals[i].items.size());
    }
    EXPECT_EQ(items, sent);
    EXPECT_EQ(arrivals.front().items.front()[1][0].as_str(), column);
    EXPECT_EQ(arrivals.back().items.back()[0].as_str(), column);
    EXPECT_EQ(arrivals.back().sealed, GetParam().sealed);
    EXPECT_EQ(consumer.unopened(), 0);
    // What passed on the sealed connection holds the data, and not readably.
    const QByteArray wire = consumer.sealed_wire();
    // (all but the first few traces, sent before the sealed connection was up)
    EXPECT_EQ(wire.size() > 100 * 16384 * 8, GetParam().sealed) << wire.size();
    EXPECT_FALSE(wire.contains(column.toLatin1()));
    EXPECT_EQ(consumer.sealed_frames().empty(), !GetParam().sealed);
}

INSTANTIATE_TEST_SUITE_P(
    Offers, ProducerSeals,
    testing::Values(OfferCase{"PortThatAnswers", Offer::Port, true},
                    OfferCase{"NoPort", Offer::NoPort, false},
                    OfferCase{"NoAnswer", Offer::Silent, false},
                    OfferCase{"PortNobodyListensOn", Offer::Unreachable, false}),
    [](const testing::TestParamInfo<OfferCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The consumer's end, against a hand-made secured producer
// ---------------------------------------------------------------------------

struct SecuredQueue {
    QTemporaryDir dir;
    std::unique_ptr<transport::ZmqQueue> queue;
    std::string producer_public, producer_secret;

    SecuredQueue() {
        transport::Security security;
        security.key_file = dir.filePath(QStringLiteral("server.key"));
        security.authorized_producers = dir.filePath(QStringLiteral("authorized"));
        char pub[41], sec[41];
        zmq_curve_keypair(pub, sec);
        producer_public = pub;
        producer_secret = sec;
        QFile list(security.authorized_producers);
        EXPECT_TRUE(list.open(QIODevice::WriteOnly));
        list.write(QByteArray(pub) + "\n");
        list.close();
        queue = std::make_unique<transport::ZmqQueue>(QStringLiteral("tcp://127.0.0.1:*"),
                                                      transport::Limits(), security);
    }
    // The options of a real producer whose key (a file in the directory) the queue lists.
    transport::Producer::Options listed_producer() {
        transport::Producer::Options options;
        options.key_file = dir.filePath(QStringLiteral("listed.key"));
        QFile list(dir.filePath(QStringLiteral("authorized")));
        EXPECT_TRUE(list.open(QIODevice::Append));
        list.write(transport::write_key_pair(options.key_file).toLatin1() + "\n");
        options.server_key = queue->public_key();
        return options;
    }
};

QByteArray data_message(std::uint64_t seq, const char* text) {
    return transport::encode_item(Value::tuple({QStringLiteral("note"), QString::fromUtf8(text)}),
                                  seq);
}

QByteArray seal_with(Sealer& sealer, const QByteArray& text) {
    QByteArray out(text.size() + int(seal_overhead), '\0');
    sealer.seal(text.constData(), std::size_t(text.size()), out.data());
    return out;
}

struct Forgery {
    const char* name;
    // A frame for the sealed port, given the producer's sealer, the first frame it sent,
    // and the sequence number the message would have.
    std::function<QByteArray(Sealer&, const QByteArray& first, std::uint64_t seq)> make;
};

TEST(ConsumerOpens, OnlyDataSealedForTheProducerItOfferedTheChannelTo) {
    SecuredQueue secured;
    zmq::context_t context(1);
    zmq::socket_t dealer(context, zmq::socket_type::dealer);
    dealer.set(zmq::sockopt::curve_serverkey, secured.queue->public_key().toStdString());
    dealer.set(zmq::sockopt::curve_publickey, secured.producer_public);
    dealer.set(zmq::sockopt::curve_secretkey, secured.producer_secret);
    dealer.set(zmq::sockopt::linger, 0);
    dealer.connect(secured.queue->endpoint().toStdString());
    const QByteArray sync = control("sync"), seal = control("seal");
    dealer.send(zmq::buffer(sync.constData(), std::size_t(sync.size())));
    dealer.send(zmq::buffer(seal.constData(), std::size_t(seal.size())));
    std::optional<SealKey> key;
    std::uint16_t port = 0;
    const auto deadline = Clock::now() + 5s;
    while (!key && Clock::now() < deadline) {
        zmq::pollitem_t item{dealer.handle(), 0, ZMQ_POLLIN, 0};
        zmq::poll(&item, 1, 100ms);
        zmq::message_t answer;
        while (!key && dealer.recv(answer, zmq::recv_flags::dontwait)) {
            const msgpack::object_handle h = msgpack::unpack(answer.data<char>(), answer.size());
            const msgpack::object_array& a = h.get().via.array;
            if (a.ptr[0].as<std::string>() != "sealed")
                continue;
            port = a.ptr[2].as<std::uint16_t>();
            SealKey k;
            k.channel = a.ptr[3].as<std::uint64_t>();
            ASSERT_EQ(a.ptr[4].via.bin.size, k.key.size());
            std::memcpy(k.key.data(), a.ptr[4].via.bin.ptr, k.key.size());
            key = k;
        }
    }
    ASSERT_TRUE(key) << "no answer to seal";
    ASSERT_NE(port, 0);
    zmq::socket_t push(context, zmq::socket_type::push);
    push.set(zmq::sockopt::linger, 0);
    push.connect(QStringLiteral("tcp://127.0.0.1:%1").arg(port).toStdString());
    const auto send = [&](const QByteArray& frame) {
        push.send(zmq::buffer(frame.constData(), std::size_t(frame.size())));
    };

    Sealer sealer(*key);
    const QByteArray first = seal_with(sealer, data_message(1, "first"));
    send(first);
    const Forgery forgeries[] = {
        {"OtherChannel",
         [](Sealer&, const QByteArray&, std::uint64_t seq) {
             Sealer stranger(fresh_seal_key());
             return seal_with(stranger, data_message(seq, "stranger"));
         }},
        {"Altered",
         [](Sealer& s, const QByteArray&, std::uint64_t seq) {
             QByteArray f = seal_with(s, data_message(seq, "altered"));
             f[int(seal_header_bytes) + 5] = char(f[int(seal_header_bytes) + 5] ^ 0x20);
             return f;
         }},
        {"SentAgain", [](Sealer&, const QByteArray& f, std::uint64_t) { return f; }},
        {"NotSealed",
         [](Sealer&, const QByteArray&, std::uint64_t seq) { return data_message(seq, "plain"); }},
        {"SealedButCutShort",
         [](Sealer& s, const QByteArray&, std::uint64_t seq) {
             const QByteArray whole = data_message(seq, "cut short");
             return seal_with(s, whole.left(whole.size() - 3));
         }},
        {"SealedButNotData", [](Sealer& s, const QByteArray&,
                                std::uint64_t seq) { return seal_with(s, control("sync", seq)); }},
    };
    std::uint64_t seq = 2;
    for (const Forgery& f : forgeries) {
        send(f.make(sealer, first, seq));
        // The next message in order still gets in.
        send(seal_with(sealer, data_message(seq++, f.name)));
    }
    const std::vector<Value> items = queue_test::drain(*secured.queue, 1 + std::size(forgeries));
    ASSERT_EQ(items.size(), 1 + std::size(forgeries));
    EXPECT_EQ(items[0][1].as_str(), QStringLiteral("first"));
    for (std::size_t i = 0; i < std::size(forgeries); ++i)
        EXPECT_EQ(items[i + 1][1].as_str(), QString::fromUtf8(forgeries[i].name));
    EXPECT_EQ(secured.queue->dropped_messages(), std::size(forgeries));
    EXPECT_TRUE(queue_test::drain(*secured.queue, 1, 200ms).empty());
}

// ---------------------------------------------------------------------------
// Both real ends
// ---------------------------------------------------------------------------

TEST(SealedLink, EverythingArrivesInOrderAndCloseConfirmsIt) {
    SecuredQueue secured;
    const transport::Producer::Options options = secured.listed_producer();
    transport::Producer producer(secured.queue->endpoint(), options);
    const int batches = 200, per_batch = 50;
    std::vector<Value> batch;
    for (int b = 0; b < batches; ++b) {
        batch.clear();
        for (int i = 0; i < per_batch; ++i)
            batch.push_back(Value::tuple({QStringLiteral("PD"), Value(b * per_batch + i)}));
        ASSERT_TRUE(producer.send_batch(batch));
        ASSERT_TRUE(producer.send(QStringLiteral("end"), Value(b)));
    }
    // Big messages last: the closing sync travels on the secured connection and gets
    // there first, while they are still on their way on the sealed one. Its answer must
    // wait for them, and the channel stay open until they are in.
    const int traces = 16;
    batch.assign(traces, Value::tuple({QStringLiteral("TD"),
                                       Value::float_array(QVector<double>(1 << 17, 0.5))}));
    ASSERT_TRUE(producer.send_batch(batch));
    EXPECT_TRUE(producer.close());
    const std::size_t total = batches * (per_batch + 1) + traces;
    EXPECT_EQ(producer.confirmed_items(), total);
    const std::vector<Value> items = queue_test::drain(*secured.queue, total, 20s);
    ASSERT_EQ(items.size(), total);
    std::int64_t next = 0;
    for (const Value& item : items) {
        if (item[0].as_str() == QLatin1String("PD")) {
            ASSERT_EQ(item[1].as_int(), next++);
        }
    }
    EXPECT_EQ(next, batches * per_batch);
    EXPECT_EQ(items.back()[1].as_float_array().size(), 1 << 17);
    EXPECT_EQ(secured.queue->dropped_messages(), 0u);
}

TEST(SealedLink, AConsumerThatRestartsGetsWhatIsSentAfterwards) {
    SecuredQueue secured;
    const transport::Producer::Options options = secured.listed_producer();
    const QString endpoint = secured.queue->endpoint();
    transport::Producer producer(endpoint, options);
    const std::vector<Value> traces(
        4, Value::tuple({QStringLiteral("TD"), Value::float_array(QVector<double>(1 << 15, 1.0))}));
    ASSERT_TRUE(producer.send_batch(traces));
    EXPECT_EQ(queue_test::drain(*secured.queue, traces.size()).size(), traces.size());
    // The same consumer again, on the same port and key; its sealed port is another.
    transport::Security security;
    security.key_file = secured.dir.filePath(QStringLiteral("server.key"));
    security.authorized_producers = secured.dir.filePath(QStringLiteral("authorized"));
    secured.queue.reset();
    transport::ZmqQueue again(endpoint, transport::Limits(), security);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(producer.send_batch(traces));
        ASSERT_TRUE(producer.send(QStringLiteral("after"), Value(i)));
    }
    // False when the first batch's confirmation was never read: it is counted lost then.
    producer.close();
    EXPECT_EQ(producer.unconfirmed_items(), 0u);
    EXPECT_EQ(producer.consumer_restarts(), 1u);
    // Every item confirmed by one of the two consumers or counted lost.
    const std::size_t after = 20 * (traces.size() + 1);
    EXPECT_EQ(producer.confirmed_items() + producer.lost_items(), traces.size() + after);
    // Each item sent after the restart reached the new consumer or is among the lost
    // (sent into the old connection before the producer knew; the first batch may be too).
    const std::vector<Value> items = queue_test::drain(again, after, 20s);
    ASSERT_FALSE(items.empty());
    EXPECT_GE(items.size() + producer.lost_items(), after);
    EXPECT_LE(items.size() + producer.lost_items(), after + traces.size());
    // In order, up to the last.
    EXPECT_EQ(items.back()[1].as_int(), 19);
}

} // namespace
