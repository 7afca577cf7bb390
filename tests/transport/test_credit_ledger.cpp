// The consumer's flow-control bookkeeping on its own: what it grants keeps the backlog
// within its bound, producers share it, closing and vanished producers give their credit
// back, and producers far beyond their credit are stopped.
#include "credit_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using namespace tellurix::lumenfold::transport::detail;
using namespace std::chrono_literals;

// Drives a ledger as the receiving thread does and checks the bound after every step:
// what producers may still send plus what is held never passes the bound by more than
// the initial credits of producers not answered yet.
struct Consumer {
    CreditLedger ledger;
    std::size_t max_bytes, max_msgs;
    Clock::time_point now = Clock::time_point() + 1h;
    std::map<std::string, Grant> last; // the newest grant each producer got
    std::map<std::string, std::uint64_t> sent;

    Consumer(std::size_t bytes, std::size_t msgs)
        : ledger(bytes, msgs)
        , max_bytes(bytes)
        , max_msgs(msgs) {}

    void answer() {
        std::vector<Grant> out;
        ledger.grants(out, now);
        for (const Grant& g : out)
            last[g.peer] = g;
        std::uint64_t promised_bytes = 0, promised_msgs = 0;
        for (const auto& [peer, g] : last) {
            promised_bytes += g.window_bytes;
            promised_msgs += g.window_msgs;
        }
        // Windows granted are beyond what each producer has had confirmed, so what is held
        // plus the windows of the last answers bounds what can be here.
        EXPECT_LE(promised_bytes, max_bytes);
        EXPECT_LE(promised_msgs, max_msgs);
    }
    // `peer` sends `n` messages of `bytes` each as far as its last grant allows.
    std::size_t send(const std::string& peer, std::size_t n, std::size_t bytes) {
        std::size_t done = 0;
        for (; done < n; ++done) {
            const Grant& g = last[peer];
            const std::uint64_t in_flight = sent[peer] - g.acked;
            if (in_flight + 1 > g.window_msgs || (in_flight + 1) * bytes > g.window_bytes)
                break;
            EXPECT_TRUE(ledger.received(peer, ++sent[peer], bytes, now));
        }
        return done;
    }
};

TEST(CreditLedger, AnswersASyncAndCutsTheInitialCreditToTheShare) {
    Consumer c(10'000, 100);
    c.ledger.sync("a", 0, false, c.now);
    c.answer();
    ASSERT_EQ(c.last.count("a"), 1u);
    EXPECT_EQ(c.last["a"].window_bytes, 10'000u);
    EXPECT_EQ(c.last["a"].window_msgs, 100u);
    EXPECT_EQ(c.last["a"].acked, 0u);
}

TEST(CreditLedger, AFullBacklogHoldsTheProducerUntilTheHostTakes) {
    Consumer c(10'000, 1000);
    c.ledger.sync("a", 0, false, c.now);
    c.answer();
    EXPECT_EQ(c.send("a", 1000, 100), 100u); // 10,000 bytes: the whole share
    EXPECT_EQ(c.ledger.backlog_bytes(), 10'000u);
    c.ledger.sync("a", 100, false, c.now);
    c.answer();
    EXPECT_EQ(c.last["a"].acked, 100u);
    EXPECT_EQ(c.last["a"].window_bytes, 0u);
    EXPECT_NE(c.ledger.held_back_since(), Clock::time_point{});
    for (int i = 0; i < 60; ++i)
        c.ledger.released("a", 100);
    c.now += 10ms;
    c.answer();
    EXPECT_EQ(c.last["a"].window_bytes, 6'000u);
    EXPECT_EQ(c.ledger.held_back_since(), Clock::time_point{}) << "the host emptied half";
}

TEST(CreditLedger, ProducersShareTheBacklog) {
    struct Case {
        int producers;
        std::size_t each_bytes;
    };
    for (const Case& k : {Case{1, 12'000}, Case{2, 6'000}, Case{3, 4'000}, Case{4, 3'000}}) {
        Consumer c(12'000, 1200);
        for (int p = 0; p < k.producers; ++p)
            c.ledger.sync(std::to_string(p), 0, false, c.now);
        c.answer();
        // A flood from the first takes no more than its share...
        EXPECT_EQ(c.send("0", 5000, 10) * 10, k.each_bytes) << k.producers;
        // ...and the others still find theirs.
        for (int p = 1; p < k.producers; ++p)
            EXPECT_EQ(c.send(std::to_string(p), 5000, 10) * 10, k.each_bytes) << k.producers;
    }
}

TEST(CreditLedger, ANewcomerGetsRoomOnceTheFloodIsTaken) {
    Consumer c(10'000, 1000);
    c.ledger.sync("flood", 0, false, c.now);
    c.answer();
    EXPECT_EQ(c.send("flood", 1000, 100), 100u);
    c.ledger.sync("slow", 0, false, c.now);
    c.answer();
    EXPECT_EQ(c.last["slow"].window_bytes, 0u) << "no room until the host takes";
    for (int i = 0; i < 100; ++i)
        c.ledger.released("flood", 100);
    c.ledger.sync("slow", 0, false, c.now);
    c.answer();
    EXPECT_EQ(c.last["slow"].window_bytes, 5'000u);
}

TEST(CreditLedger, ClosingAndVanishedProducersGiveTheirCreditBack) {
    Consumer c(10'000, 1000);
    c.ledger.sync("a", 0, false, c.now);
    c.ledger.sync("b", 0, false, c.now);
    c.answer();
    EXPECT_EQ(c.last["b"].window_bytes, 5'000u);
    c.send("a", 3, 100);
    c.ledger.sync("a", 3, true, c.now);
    std::vector<Grant> out;
    c.ledger.grants(out, c.now);
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(out.front().farewell);
    EXPECT_EQ(out.front().acked, 3u);
    EXPECT_EQ(c.ledger.producers(), 1u);
    c.ledger.gone("b");
    EXPECT_EQ(c.ledger.producers(), 0u);
    c.ledger.sync("c", 0, false, c.now);
    c.last.clear();
    c.answer();
    EXPECT_EQ(c.last["c"].window_bytes, 10'000u - 300u) << "only a's messages still held";
}

TEST(CreditLedger, SilentProducersAreAskedWhetherTheyAreStillThere) {
    Consumer c(10'000, 1000);
    c.ledger.sync("quiet", 0, false, c.now);
    c.ledger.sync("busy", 0, false, c.now);
    c.answer();
    c.send("busy", 1000, 100);
    c.now += 2s;
    c.ledger.sync("busy", 50, false, c.now); // waits for room the quiet one holds
    std::vector<Grant> out;
    c.ledger.grants(out, c.now);
    const bool asked_quiet =
        std::any_of(out.begin(), out.end(), [](const Grant& g) { return g.peer == "quiet"; });
    EXPECT_TRUE(asked_quiet);
}

TEST(CreditLedger, FarBeyondItsCreditAProducerIsStopped) {
    CreditLedger ledger(1000, 10);
    const auto now = Clock::now();
    std::size_t taken = 0;
    for (std::uint64_t seq = 1; seq <= 10'000; ++seq)
        taken += ledger.received("rogue", seq, 100, now) ? 1 : 0;
    // Its initial credit, then a whole backlog and an initial credit beyond it, no more.
    EXPECT_GE(taken, 256u);
    EXPECT_LE(taken, 256u + 10u + 256u);
    EXPECT_EQ(ledger.overruns(), 10'000u - taken);
}

TEST(CreditLedger, AProducerFirstMetByItsDataKeepsItsPlace) {
    CreditLedger ledger(1u << 20, 1000);
    const auto now = Clock::now();
    EXPECT_TRUE(ledger.received("p", 41, 10, now));
    std::vector<Grant> out;
    ledger.sync("p", 41, false, now);
    ledger.grants(out, now);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].base, 40u) << "it never received 1..40 here";
    EXPECT_EQ(out[0].acked, 41u);
}

} // namespace
