// Draining the queue: shape checks, order of effects, errors, budgets and threads.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <thread>

using namespace lumenfold_test;
using namespace std::chrono_literals;

namespace {

const char* const kNotTuple = "warn: QueueHandler - fifo Content must be tuple";
const char* const kNotPair =
    "warn: QueueHandler -the tuple must be like (\"command_type\" , \"DATA\")";
const char* const kNotStr = "warn: QueueHandler - the command should be a string";

// ---------------------------------------------------------------------------
// Shape of an item
// ---------------------------------------------------------------------------

struct ItemRow {
    const char* label;
    Value item;
    QStringList events;
};

void PrintTo(const ItemRow& row, std::ostream* os) {
    *os << row.label;
}

class ItemShape : public ::testing::TestWithParam<ItemRow> {};

TEST_P(ItemShape, RejectedWithOneWarningAndTheDrainGoesOn) {
    Intake in;
    in.queue.put(GetParam().item);
    in.put("TD", "after");
    in.pump.flush();
    QStringList expected = GetParam().events;
    expected << "traces.append 'after'";
    EXPECT_EQ(in.log, expected);
    EXPECT_EQ(in.queue.size(), 0U);
    EXPECT_EQ(in.queue.get_calls, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Items, ItemShape,
    ::testing::Values(ItemRow{"list_pair", Value::list({"PD", 1}), {kNotTuple}},
                      ItemRow{"str", "PD", {kNotTuple}}, ItemRow{"none", Value(), {kNotTuple}},
                      ItemRow{"int", 7, {kNotTuple}},
                      ItemRow{"float_array", Value::float_array({1, 2}), {kNotTuple}},
                      ItemRow{"empty_tuple", Value::tuple({}), {kNotPair}},
                      ItemRow{"one_element", Value::tuple({"PD"}), {kNotPair}},
                      ItemRow{"three_elements", Value::tuple({"PD", 1, 2}), {kNotPair}},
                      // The length is checked before the word: a bad word in a bad-length tuple is
                      // reported as a bad length.
                      ItemRow{"three_with_bad_word", Value::tuple({5, 1, 2}), {kNotPair}},
                      ItemRow{"number_word", Value::tuple({5, 1}), {kNotStr}},
                      ItemRow{"none_word", Value::tuple({Value(), 1}), {kNotStr}},
                      ItemRow{"bytes_word", Value::tuple({Value::bytes("PD"), 1}), {kNotStr}},
                      ItemRow{"list_word", Value::tuple({Value::list({"PD"}), 1}), {kNotStr}},
                      // Well-formed items: none and nested payloads arrive unchanged.
                      ItemRow{
                          "none_payload", Value::tuple({"PD", Value()}), {"points.append None"}},
                      ItemRow{"nested_payload",
                              Value::tuple({"PD", Value::tuple({Value::list({}), "x"})}),
                              {"points.append ([], 'x')"}},
                      ItemRow{"unknown_word",
                              Value::tuple({"XX", 1}),
                              {"warn: QueueHandler - unknown command : XX"}}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// One flush, many items
// ---------------------------------------------------------------------------

TEST(Flush, EffectsFollowQueueOrderAcrossDatasetsAndToolbar) {
    Intake in;
    in.put("PD", "r1");
    in.put("PD", "r2");
    in.queue.put(Value::list({"TD", "lost"}));
    in.put("TD", "r3");
    in.put("PN", Value::str_list({"x", "y"}));
    in.put("ROLL", Value());
    in.put("bogus", 1);
    in.put("TN", Value::str_list({"u"}));
    in.put("PD", "r4");
    in.pump.flush();
    EXPECT_EQ(in.log,
              QStringList({"points.append 'r1'", "points.append 'r2'", kNotTuple,
                           "traces.append 'r3'", "points.set_column_names ['x', 'y']", "names read",
                           "points.roll", "warn: QueueHandler - unknown command : bogus",
                           "traces.set_column_names ['u']", "names read", "points.append 'r4'"}));
    EXPECT_EQ(in.toolbar.ytxt_lb->toolTip(), QStringLiteral("['x', 'y']"));
    EXPECT_EQ(in.queue.size(), 0U);
}

TEST(Flush, EmptyQueueIsAskedOnceAndNeverWaitedOn) {
    Intake in;
    in.pump.flush();
    EXPECT_EQ(in.queue.empty_calls, 1);
    EXPECT_EQ(in.queue.get_calls, 0);
    EXPECT_TRUE(in.log.isEmpty());
}

TEST(Flush, ItemsAddedWhileDrainingAreTakenByTheSameFlush) {
    // A dataset that, like a fast producer, adds an item whenever it gets one.
    struct Echo : lf::host::Dataset {
        lf::cmdpump::MemoryQueue* queue = nullptr;
        int seen = 0;
        void set_column_names(const Value&) override {}
        void append(const Value& record) override {
            ++seen;
            if (record.as_int() < 5)
                queue->put(Value::tuple({"PD", record.as_int() + 1}));
        }
        void roll() override {}
    } echo;
    Intake in;
    echo.queue = &in.queue;
    in.pump.point_dataset = &echo;
    in.put("PD", 0);
    in.pump.flush();
    EXPECT_EQ(echo.seen, 6);
    EXPECT_EQ(in.queue.size(), 0U);
}

struct FailureRow {
    const char* label;
    QString cmd;
    Value data;
    const char* error;
};

void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.label;
}

class FlushFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(FlushFailure, EndsTheFlushAndASecondFlushGoesOn) {
    const FailureRow& row = GetParam();
    Intake in;
    in.put("PD", 1);
    in.put(row.cmd, row.data);
    in.put("TD", 3);
    in.put("PD", 4);
    try {
        in.pump.flush();
        ADD_FAILURE() << "flush swallowed the error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), row.error);
    }
    EXPECT_EQ(in.log.first(), QStringLiteral("points.append 1"));
    EXPECT_FALSE(in.log.contains(QStringLiteral("traces.append 3")));
    EXPECT_EQ(in.queue.size(), 2U) << "the failed item is gone, the rest stays";

    in.log.clear();
    in.pump.flush();
    EXPECT_EQ(in.log, QStringList({"traces.append 3", "points.append 4"}));
    EXPECT_EQ(in.queue.size(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FlushFailure,
    ::testing::Values(FailureRow{"dataset_append", "PD", "boom", "append failed"},
                      FailureRow{"dataset_names", "TN", Value::tuple({1}),
                                 "set_column_names(): argument 'names' must be str, not int"},
                      FailureRow{"toolbar_text", "PXY", Value::list({"t,v"}),
                                 "set_point_text(): argument 'text' must be str, not list"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Flush, QueueErrorsReachTheCaller) {
    struct BrokenQueue : lf::host::Queue {
        bool empty() override { return false; }
        Value get() override { throw std::runtime_error("connection lost"); }
    } broken;
    Intake in;
    in.pump.queue = &broken;
    EXPECT_THROW(in.pump.flush(), std::runtime_error);
    EXPECT_THROW(in.pump.flush(1, 1s), std::runtime_error);
    EXPECT_TRUE(in.log.isEmpty());
}

// ---------------------------------------------------------------------------
// Bounded flush
// ---------------------------------------------------------------------------

struct BudgetRow {
    const char* label;
    int queued;
    std::size_t max_items;
    std::chrono::nanoseconds max_time;
    int handled; // items taken by one call
    bool more;   // the call's answer
};

void PrintTo(const BudgetRow& row, std::ostream* os) {
    *os << row.label;
}

class BoundedFlush : public ::testing::TestWithParam<BudgetRow> {};

TEST_P(BoundedFlush, StopsAtTheBudgetAndTellsWhetherItemsMayWait) {
    const BudgetRow& row = GetParam();
    Intake in;
    for (int i = 0; i < row.queued; ++i)
        in.put("PD", i);
    EXPECT_EQ(in.pump.flush(row.max_items, row.max_time), row.more);
    QStringList expected;
    for (int i = 0; i < row.handled; ++i)
        expected << QStringLiteral("points.append %1").arg(i);
    EXPECT_EQ(in.log, expected);
    EXPECT_EQ(in.queue.size(), static_cast<std::size_t>(row.queued - row.handled));
    EXPECT_EQ(in.queue.get_calls, row.handled);
}

constexpr auto kForever = std::chrono::nanoseconds::max();

INSTANTIATE_TEST_SUITE_P(
    Budgets, BoundedFlush,
    ::testing::Values(BudgetRow{"empty", 0, 10, kForever, 0, false},
                      BudgetRow{"fewer_than_budget", 3, 10, kForever, 3, false},
                      BudgetRow{"exactly_budget", 3, 3, kForever, 3, false},
                      BudgetRow{"more_than_budget", 5, 3, kForever, 3, true},
                      BudgetRow{"zero_items", 2, 0, kForever, 0, true},
                      BudgetRow{"zero_items_empty", 0, 0, kForever, 0, false},
                      // An exhausted time budget still takes one item per call.
                      BudgetRow{"zero_time", 3, 10, 0ns, 1, true},
                      BudgetRow{"zero_time_last_item", 1, 10, 0ns, 1, false},
                      BudgetRow{"negative_time", 2, 10, -1s, 1, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BoundedFlushRun, RepeatedCallsDrainInOrderAndCountBadItems) {
    Intake in;
    for (int i = 0; i < 7; ++i) {
        if (i == 2)
            in.queue.put(Value::list({}));
        in.put("PD", i);
    }
    int calls = 0;
    while (in.pump.flush(3, kForever))
        ++calls;
    EXPECT_EQ(calls, 2); // 3 + 3 items, then the last 2 and an empty queue
    EXPECT_EQ(in.log.size(), 8);
    EXPECT_EQ(in.log.at(2), QString::fromLatin1(kNotTuple));
    EXPECT_EQ(in.log.last(), QStringLiteral("points.append 6"));
}

TEST(BoundedFlushRun, EndlessProducerCannotHoldTheCallForever) {
    // Always another item: only the time budget can end this call.
    struct Endless : lf::host::Queue {
        int n = 0;
        bool empty() override { return false; }
        Value get() override { return Value::tuple({"PD", n++}); }
    } endless;
    Intake in;
    in.pump.queue = &endless;
    EXPECT_TRUE(in.pump.flush(std::numeric_limits<std::size_t>::max(), 1ms));
    EXPECT_GE(endless.n, 1);
    EXPECT_EQ(in.log.size(), endless.n);
}

// ---------------------------------------------------------------------------
// MemoryQueue
// ---------------------------------------------------------------------------

TEST(MemoryQueue, ProducerThreadItemsArriveOnceAndInOrder) {
    constexpr int kItems = 20'000;
    Intake in;
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i)
            in.queue.put(Value::tuple({"PD", i}));
        in.queue.put(Value::tuple({"TD", "end"}));
    });
    while (in.log.isEmpty() || in.log.last() != QStringLiteral("traces.append 'end'")) {
        if (!in.pump.flush(500, 5ms))
            std::this_thread::yield();
    }
    producer.join();
    ASSERT_EQ(in.log.size(), kItems + 1);
    for (int i = 0; i < kItems; ++i)
        ASSERT_EQ(in.log.at(i), QStringLiteral("points.append %1").arg(i));
    EXPECT_EQ(in.queue.size(), 0U);
}

TEST(MemoryQueue, GetWaitsForAnItem) {
    lf::cmdpump::MemoryQueue queue;
    EXPECT_TRUE(queue.empty());
    std::promise<void> waiting;
    auto taken = std::async(std::launch::async, [&] {
        waiting.set_value();
        return queue.get();
    });
    waiting.get_future().wait();
    queue.put(Value::tuple({"ROLL", Value()}));
    EXPECT_EQ(taken.get(), Value::tuple({"ROLL", Value()}));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.size(), 0U);
}

TEST(MemoryQueue, ManyProducersLoseNothing) {
    constexpr int kThreads = 4, kEach = 5'000;
    lf::cmdpump::MemoryQueue queue;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([&queue, t] {
            for (int i = 0; i < kEach; ++i)
                queue.put(Value::tuple({t, i}));
        });
    std::vector<int> next(kThreads, 0);
    for (int taken = 0; taken < kThreads * kEach; ++taken) {
        const Value item = queue.get();
        const auto t = static_cast<std::size_t>(item[0].as_int());
        ASSERT_EQ(item[1].as_int(), next[t]) << "items of one producer out of order";
        ++next[t];
    }
    for (std::thread& p : producers)
        p.join();
    EXPECT_EQ(queue.size(), 0U);
}

} // namespace
