// Flow control between Producer and ZmqQueue over real sockets: the backlog stays within
// its bound while producers wait, producers share it fairly, a killed producer or a
// restarted consumer costs only what was in transit, and producers of another wire format
// version are refused visibly on both sides.
#include <tellurix/lumenfold/transport.h>

#include <QProcess>
#include <QTemporaryDir>

#include "../support/warnings.h"
#include "queue_drain.h"

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <atomic>
#include <chrono>
#include <thread>

#include <signal.h>

namespace {

using tellurix::lumenfold::host::Value;
namespace host = tellurix::lumenfold::host;
namespace transport = tellurix::lumenfold::transport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Takes one item when there is one, else sleeps a little; a deadline guards against hangs.
template <typename Each>
void take_until(transport::ZmqQueue& queue, Clock::time_point deadline, Each each) {
    while (Clock::now() < deadline) {
        if (queue.empty()) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        if (!each(queue.get()))
            return;
    }
}

transport::Limits small_backlog(std::size_t bytes, std::size_t messages) {
    transport::Limits limits;
    limits.max_backlog_bytes = bytes;
    limits.max_backlog_messages = messages;
    return limits;
}

std::int64_t index_of(const Value& item) {
    return item[1][0].as_int();
}

class Transports : public queue_test::EachTransport {
protected:
    // A fixed endpoint, for a consumer that binds again where another was.
    QString fixed_endpoint() const {
        if (QString::fromLatin1(GetParam()) == QLatin1String("ipc"))
            return endpoint();
        transport::ZmqQueue probe(endpoint());
        return probe.endpoint();
    }
};

// A consumer far slower than its producer: the backlog stays within its bound (plus the
// one initial credit the producer started with) while the producer waits, and the
// consumer says it holds producers back.
TEST_P(Transports, SlowConsumerKeepsItsBacklogWithinTheBound) {
    // The byte bound binds first: a message here is about 80 bytes.
    constexpr std::size_t bound_bytes = 64 * 1024, bound_messages = 5000;
    transport::ZmqQueue queue(endpoint(), small_backlog(bound_bytes, bound_messages));
    const QString where = queue.endpoint();
    constexpr int count = 20'000;
    std::thread producer_thread([where] {
        transport::Producer producer(where);
        for (int i = 0; i < count; ++i)
            producer.send("PD", Value::list({i, Value::float_array(QVector<double>(8, i))}));
        producer.close();
    });
    // Nothing is taken until the producer has filled the backlog and waits: how much faster
    // it is than the consumer must not depend on the machine (under sanitizers, both sides
    // run at about the same pace).
    bool held_back = false;
    const Clock::time_point give_up = Clock::now() + 30s;
    while (!held_back && Clock::now() < give_up) {
        std::this_thread::sleep_for(1ms);
        held_back = queue.held_back_for() > 0ms && queue.backlog_bytes() > bound_bytes / 2;
    }
    EXPECT_TRUE(held_back) << "the producer was never held back; backlog " << queue.backlog_bytes()
                           << " bytes";
    std::size_t peak_bytes = 0, peak_messages_seen = 0;
    std::int64_t next = 0;
    take_until(queue, Clock::now() + 60s, [&](const Value& item) {
        EXPECT_EQ(index_of(item), next);
        ++next;
        peak_bytes = std::max<std::size_t>(peak_bytes, queue.backlog_bytes());
        peak_messages_seen = std::max<std::size_t>(peak_messages_seen, queue.backlog_items());
        if (next % 100 == 0)
            std::this_thread::sleep_for(2ms); // about 50k items a second
        return next < count;
    });
    producer_thread.join();
    EXPECT_EQ(next, count);
    // The bound, plus the initial credit of 256 messages granted before any answer.
    EXPECT_LE(peak_bytes, bound_bytes + 256u * 100u);
    EXPECT_LE(peak_messages_seen, bound_messages + 256u);
    EXPECT_GT(peak_bytes, bound_bytes / 4) << "the producer was not held at the bound";
}

// Producers that exit right after sending, while the consumer sits at a small bound and
// takes items slowly: close() waits for the consumer's confirmation, so nothing is lost.
TEST_P(Transports, NothingIsLostWhenProducersExitAtTheBound) {
    transport::ZmqQueue queue(endpoint(), small_backlog(8 * 1024, 64));
    constexpr int runs = 20, count = 2000;
    for (int run = 0; run < runs; ++run) {
        QProcess child;
        child.start(QStringLiteral(LUMENFOLD_TEST_PRODUCER),
                    {queue.endpoint(), QString::number(count)});
        std::int64_t next = 0;
        take_until(queue, Clock::now() + 30s, [&](const Value& item) {
            EXPECT_EQ(item, Value::tuple({"PD", Value::list({next, next / 2.0})})) << run;
            ++next;
            if (next % 50 == 0)
                std::this_thread::sleep_for(1ms);
            return next < count;
        });
        ASSERT_TRUE(child.waitForFinished(30000)) << "run " << run;
        ASSERT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
        ASSERT_EQ(next, count) << "run " << run;
        EXPECT_TRUE(child.readAllStandardError().isEmpty()) << "run " << run;
    }
    EXPECT_TRUE(queue.empty());
}

// A flooding producer does not delay a slow producer's items by more than the bound: each
// slow item arrives behind at most a backlog's worth of flood items taken after it was sent.
TEST_P(Transports, FloodingProducerLeavesRoomForASlowOne) {
    constexpr std::size_t bound_messages = 400;
    transport::ZmqQueue queue(endpoint(), small_backlog(64u << 20, bound_messages));
    const QString where = queue.endpoint();
    std::atomic<std::int64_t> flood_taken{0};
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        transport::Producer producer(where);
        for (std::int64_t i = 0; !stop; ++i)
            producer.send("FLOOD", Value::list({i}));
        producer.close();
    });
    constexpr int slow_items = 20;
    std::vector<std::int64_t> taken_when_sent(slow_items);
    std::thread slow([&] {
        transport::Producer producer(where);
        std::this_thread::sleep_for(100ms); // the flood fills the backlog first
        for (int k = 0; k < slow_items; ++k) {
            taken_when_sent[static_cast<std::size_t>(k)] = flood_taken;
            producer.send("SLOW", Value::list({k}));
            std::this_thread::sleep_for(10ms);
        }
        producer.close();
    });
    std::vector<std::int64_t> delay;
    take_until(queue, Clock::now() + 60s, [&](const Value& item) {
        if (item[0] == Value("FLOOD")) {
            ++flood_taken;
            std::this_thread::sleep_for(20us); // the host is the slow part
        } else {
            const auto k = static_cast<std::size_t>(index_of(item));
            delay.push_back(flood_taken - taken_when_sent[k]);
        }
        return delay.size() < slow_items;
    });
    // The flood waits for room until it sees the stop: take what it still sends.
    stop = true;
    slow.join();
    std::atomic<bool> flood_done{false};
    std::thread joiner([&] {
        flood.join();
        flood_done = true;
    });
    const auto deadline = Clock::now() + 30s;
    while (!flood_done && Clock::now() < deadline) {
        while (!queue.empty())
            queue.get();
        std::this_thread::sleep_for(1ms);
    }
    joiner.join();
    ASSERT_EQ(delay.size(), static_cast<std::size_t>(slow_items));
    for (std::size_t k = 0; k < delay.size(); ++k)
        EXPECT_LE(delay[k], static_cast<std::int64_t>(bound_messages + 256)) << "slow item " << k;
}

// A producer killed mid-stream: the consumer keeps a gapless prefix of what it sent, no
// partial message, and the credit the dead producer held comes back for the next one.
TEST_P(Transports, KilledProducerLosesOnlyWhatWasInTransit) {
    transport::ZmqQueue queue(endpoint(), small_backlog(64 * 1024, 200));
    QProcess child;
    child.start(QStringLiteral(LUMENFOLD_TEST_PRODUCER), {queue.endpoint(), "0", "forever"});
    ASSERT_TRUE(child.waitForReadyRead(20000));
    std::int64_t next = 0;
    take_until(queue, Clock::now() + 20s, [&](const Value& item) {
        EXPECT_EQ(index_of(item), next++);
        return next < 5000;
    });
    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished(10000));
    // What had reached this side still comes, in order, and nothing after a gap.
    take_until(queue, Clock::now() + 2s, [&](const Value& item) {
        EXPECT_EQ(index_of(item), next++);
        return true;
    });
    EXPECT_TRUE(queue.empty());
    // Its credit returns: a new producer gets through a bound's worth of items several
    // times over while the dead one's account would have blocked the room.
    const QString where = queue.endpoint();
    bool closed = false;
    std::thread fresh([&] {
        transport::Producer producer(where);
        for (int i = 0; i < 3000; ++i)
            producer.send("PD", Value::list({i}));
        closed = producer.close();
    });
    int got = 0;
    take_until(queue, Clock::now() + 30s, [&](const Value&) { return ++got < 3000; });
    fresh.join();
    EXPECT_EQ(got, 3000);
    EXPECT_TRUE(closed);
    EXPECT_EQ(queue.producers(), 0u);
}

// The consumer restarts while a producer keeps sending: the producer waits, resumes with
// the new consumer, and learns how many items it lost; the loss is at most what the old
// consumer held or had granted.
TEST_P(Transports, ProducerSurvivesAConsumerRestart) {
    const QString where = fixed_endpoint();
    constexpr std::size_t bound_messages = 300;
    constexpr int count = 6000;
    auto first =
        std::make_unique<transport::ZmqQueue>(where, small_backlog(1u << 20, bound_messages));
    std::atomic<bool> done{false};
    std::uint64_t lost = 0, restarts = 0;
    std::thread producer_thread([&] {
        transport::Producer::Options options;
        options.linger_ms = 10000;
        transport::Producer producer(where, options);
        for (int i = 0; i < count; ++i)
            producer.send("PD", Value::list({i}));
        producer.close();
        lost = producer.lost_items();
        restarts = producer.consumer_restarts();
        done = true;
    });
    std::int64_t next = 0;
    take_until(*first, Clock::now() + 20s, [&](const Value& item) {
        EXPECT_EQ(index_of(item), next++);
        return next < 1000;
    });
    first.reset(); // whatever it held is gone with it
    std::this_thread::sleep_for(300ms);
    transport::ZmqQueue second(where, small_backlog(1u << 20, bound_messages));
    std::vector<std::int64_t> after;
    take_until(second, Clock::now() + 30s, [&](const Value& item) {
        after.push_back(index_of(item));
        return after.back() < count - 1;
    });
    producer_thread.join();
    ASSERT_TRUE(done);
    ASSERT_FALSE(after.empty());
    for (std::size_t k = 1; k < after.size(); ++k)
        ASSERT_EQ(after[k], after[k - 1] + 1) << "a gap after the restart";
    EXPECT_EQ(after.back(), count - 1);
    EXPECT_EQ(restarts, 1u);
    // What neither consumer handed over: held by the old one, or lost on the way. The
    // producer's count is of items no consumer confirmed, so it may also hold items the
    // old consumer received (even applied) and had no time to confirm: each side is at
    // most the other plus one backlog and one initial credit.
    const std::int64_t gap = after.front() - next;
    const std::uint64_t slack = bound_messages + 256;
    EXPECT_GE(gap, 0);
    EXPECT_LE(static_cast<std::uint64_t>(gap), lost + slack);
    EXPECT_LE(lost, static_cast<std::uint64_t>(gap) + slack);
}

// With drop_when_full, a producer held back counts its drops instead of waiting.
TEST_P(Transports, DropModeCountsWhileHeldBack) {
    transport::ZmqQueue queue(endpoint(), small_backlog(1u << 20, 100));
    transport::Producer::Options options;
    options.drop_when_full = true;
    transport::Producer producer(queue.endpoint(), options);
    int accepted = 0;
    for (int i = 0; i < 5000; ++i)
        accepted += producer.send("PD", Value::list({i})) ? 1 : 0;
    EXPECT_LE(accepted, 256 + 100);
    EXPECT_EQ(producer.dropped_messages(), static_cast<std::uint64_t>(5000 - accepted));
    int got = 0;
    take_until(queue, Clock::now() + 10s, [&](const Value&) { return ++got < accepted; });
    EXPECT_EQ(got, accepted);
    EXPECT_TRUE(producer.close());
}

INSTANTIATE_TEST_SUITE_P(Flow, Transports, ::testing::Values("ipc", "tcp"));

// ---------------------------------------------------------------------------
// Other versions of the format
// ---------------------------------------------------------------------------

TEST(Versions, ProducerOfTheOldSocketPairingIsRefusedVisibly) {
    Warnings warnings;
    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    zmq::context_t context;
    zmq::socket_t old(context, zmq::socket_type::push);
    old.set(zmq::sockopt::linger, 0);
    old.connect(queue.endpoint().toStdString());
    const QByteArray v1("\x92\x01\xc0", 3);
    old.send(zmq::const_buffer(v1.constData(), 3), zmq::send_flags::dontwait);
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && !warnings.any_starting("ZmqQueue: refused a connection")) {
        EXPECT_TRUE(queue.empty());
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(warnings.any_starting("ZmqQueue: refused a connection"));
    EXPECT_EQ(queue.messages(), 0u);
}

TEST(Versions, ProducerFacingAnOldConsumerFailsWithAReason) {
    zmq::context_t context;
    zmq::socket_t old(context, zmq::socket_type::pull);
    old.set(zmq::sockopt::linger, 0);
    old.bind("tcp://127.0.0.1:*");
    const QString where = QString::fromStdString(old.get(zmq::sockopt::last_endpoint));
    Warnings warnings;
    transport::Producer::Options options;
    options.linger_ms = 200;
    transport::Producer producer(where, options);
    int sent = 0;
    try {
        for (; sent < 100'000; ++sent)
            producer.send("PD", Value::list({sent}));
        FAIL() << "sent everything to a consumer that cannot take it";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("another version of the wire format"),
                  std::string::npos)
            << e.what();
    }
    // Nothing can have reached that consumer: close() confirms only when the refusal was
    // seen before the first send (on a loaded machine it can be), else it says what is lost.
    const bool confirmed = producer.close();
    EXPECT_EQ(confirmed, sent == 0) << sent << " sent";
    EXPECT_EQ(warnings.any_starting("Producer::close: "), !confirmed);
}

// ---------------------------------------------------------------------------
// Closing in the destructor
// ---------------------------------------------------------------------------

// A destructor that closes with items unconfirmed reports them; a warning handler that
// throws there must not end the program.
TEST(ProducerDestructor, SurvivesAWarningHandlerThatThrows) {
    QTemporaryDir dir;
    int calls = 0;
    const host::WarningHandler previous = host::set_warning_handler([&calls](const QString&) {
        ++calls;
        throw std::runtime_error("the handler failed");
    });
    {
        transport::Producer::Options options;
        options.linger_ms = 50;
        // Nobody listens there: the item stays unconfirmed.
        transport::Producer producer(QStringLiteral("ipc://") + dir.filePath("nobody.ipc"),
                                     options);
        producer.send("PD", Value::list({1}));
    }
    host::set_warning_handler(previous);
    EXPECT_GE(calls, 1);
}

} // namespace
