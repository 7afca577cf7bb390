// A command queue the test fills itself, the ticks that apply all of it to a window, and
// waiting for a condition in a gtest test.
#pragma once

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/scope/scope_window.h>

#include <QTest>

#include <gtest/gtest.h>

#include <deque>
#include <memory>

// Waits for a condition as QTRY_VERIFY / QTRY_COMPARE do, and fails the gtest test when it
// does not come true. (QTRY_* report through QtTest's own result, which a gtest run never
// reads: on a timeout they leave the test function early, and the test passes.)
#define SCOPE_EVENTUALLY(cond)                                                                     \
    ASSERT_TRUE(QTest::qWaitFor([&] { return bool(cond); }, 5000)) << "never true: " #cond
#define SCOPE_EVENTUALLY_EQ(actual, expected)                                                      \
    do {                                                                                           \
        (void)QTest::qWaitFor([&] { return (actual) == (expected); }, 5000);                       \
        ASSERT_EQ(actual, expected);                                                               \
    } while (false)

namespace scope_test {

class FeedQueue : public tellurix::lumenfold::host::Queue {
public:
    std::deque<tellurix::lumenfold::host::Value> items;
    bool empty() override { return items.empty(); }
    tellurix::lumenfold::host::Value get() override {
        tellurix::lumenfold::host::Value v = items.front();
        items.pop_front();
        return v;
    }
};

inline tellurix::lumenfold::host::Value item(const char* cmd,
                                             tellurix::lumenfold::host::Value data) {
    return tellurix::lumenfold::host::Value::tuple({cmd, std::move(data)});
}

// A tick takes commands for a share of a frame only: a loaded machine may need several.
inline void drain(tellurix::lumenfold::scope::ScopeWindow& window, const FeedQueue& queue) {
    for (int tick = 0; tick < 1000 && !queue.items.empty(); ++tick)
        window.tick();
    ASSERT_TRUE(queue.items.empty());
    window.tick(); // acts on what the last command published
}

} // namespace scope_test
