#pragma once

// Waits for a condition as QTRY_VERIFY / QTRY_COMPARE do, and fails the gtest test when it
// does not come true within five seconds. QTRY_* must not be used in these tests: they
// report through QtTest's own result, which a gtest run never reads, so on a timeout they
// leave the test function early and the test passes.

#include <QTest>
#include <gtest/gtest.h>

#define EVENTUALLY(cond)                                                                           \
    ASSERT_TRUE(QTest::qWaitFor([&] { return bool(cond); }, 5000)) << "never true: " #cond
#define EVENTUALLY_EQ(actual, expected)                                                            \
    do {                                                                                           \
        (void)QTest::qWaitFor([&] { return (actual) == (expected); }, 5000);                       \
        ASSERT_EQ(actual, expected);                                                               \
    } while (false)
