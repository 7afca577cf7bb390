// The window's command intake with a queue of the test's own: failures of the queue
// itself are told apart from refused commands, and neither stops the window.
#include <tellurix/lumenfold/scope/scope_window.h>

#include <tellurix/lumenfold/chartpane.h>

#include <QLabel>
#include <QStatusBar>

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

using namespace tellurix::lumenfold;
using host::Value;

namespace {

// Hands out its items; throws from empty() once when asked to, before item `fail_at`.
class ScriptedQueue : public host::Queue {
public:
    std::deque<Value> items;
    int fail_at = -1;
    int given = 0;

    bool empty() override {
        if (given == fail_at) {
            fail_at = -1;
            throw std::runtime_error("connection reset");
        }
        return items.empty();
    }
    Value get() override {
        Value v = items.front();
        items.pop_front();
        ++given;
        return v;
    }
};

Value item(const char* cmd, Value data) {
    return Value::tuple({cmd, std::move(data)});
}

} // namespace

TEST(ScopeIntake, QueueFailuresAndRefusedCommandsAreReportedApart) {
    auto owned = std::make_unique<ScriptedQueue>();
    ScriptedQueue& queue = *owned;
    queue.items = {item("PN", Value::str_list({"t", "v"})), item("PXY", "t,v"),
                   item("PD", Value::list({1, 10})), item("PD", Value::list({2})),
                   item("PD", Value::list({3, 30}))};
    queue.fail_at = 3; // after the first row, before the short one
    scope::ScopeOptions options;
    options.endpoint = QStringLiteral("test queue");
    scope::ScopeWindow window(options, std::move(owned));
    EXPECT_EQ(window.endpoint(), "test queue");
    EXPECT_TRUE(window.windowTitle().contains("test queue"));

    window.tick();
    EXPECT_EQ(window.errors(), 1);
    EXPECT_TRUE(window.log_lines().join('\n').contains(
        "ScopeWindow::tick: the queue failed: connection reset"));
    EXPECT_EQ(window.points().rows_held(), 1u) << "the tick ends at a failing queue";

    window.tick();
    EXPECT_EQ(window.errors(), 2);
    EXPECT_TRUE(window.log_lines().join('\n').contains("PD [2] rejected: PointDataset::append()"));
    EXPECT_EQ(window.points().rows_held(), 2u) << "the row behind the refused one";
    EXPECT_EQ(window.items_taken(), 5u);
    ASSERT_EQ(window.visible_plots(), 1);
    EXPECT_EQ(window.plots()[0]->plots.at(0)->xData(), (QVector<double>{1, 3}));
}

TEST(ScopeIntake, StatusBarShowsTheCapsAndCounts) {
    auto owned = std::make_unique<ScriptedQueue>();
    owned->items = {item("PN", Value::str_list({"t"})), item("PD", Value::list({1})),
                    item("bogus", Value())};
    scope::ScopeOptions options;
    options.history = 1234;
    options.traces = 5;
    scope::ScopeWindow window(options, std::move(owned));
    window.tick();
    QStringList texts;
    for (const QLabel* label : window.statusBar()->findChildren<QLabel*>())
        texts << label->text();
    const QString status = texts.join(" | ");
    EXPECT_TRUE(status.contains("points 1 / 1234 rows")) << status.toStdString();
    EXPECT_TRUE(status.contains("traces 0 / 5")) << status.toStdString();
    EXPECT_TRUE(status.contains("warnings 1")) << status.toStdString();
}
