// The window's command intake with a queue of the test's own: failures of the queue
// itself are told apart from refused commands, and neither stops the window.
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>

#include <tellurix/lumenfold/chartpane.h>

#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryFile>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <stdexcept>

#include <unistd.h>

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

// What this process writes to stderr while it lives (file descriptor 2 itself, so that
// whatever writes there is caught).
class StderrCapture {
public:
    StderrCapture() {
        EXPECT_TRUE(file_.open());
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(file_.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QStringList lines() {
        restore();
        QFile in(file_.fileName());
        EXPECT_TRUE(in.open(QIODevice::ReadOnly));
        return QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

std::unique_ptr<scope::ScopeWindow> window_on(ScriptedQueue*& queue,
                                              scope::ScopeOptions options = {}) {
    auto owned = std::make_unique<ScriptedQueue>();
    queue = owned.get();
    return std::make_unique<scope::ScopeWindow>(options, std::move(owned));
}

// Ticks until the window has taken every item: a tick takes commands for a share of a
// frame only, and a loaded machine may not get through them all in one.
void drain(scope::ScopeWindow& window, const ScriptedQueue& queue) {
    for (int tick = 0; tick < 1000 && !queue.items.empty(); ++tick)
        window.tick();
    ASSERT_TRUE(queue.items.empty());
    window.tick(); // acts on what the last command published
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

    // A tick takes commands for a share of a frame only: a loaded machine may need more.
    for (int tick = 0; tick < 1000 && window.errors() == 0; ++tick)
        window.tick();
    EXPECT_EQ(window.errors(), 1);
    EXPECT_TRUE(window.log_lines().join('\n').contains(
        "ScopeWindow::tick: the queue failed: connection reset"));
    EXPECT_EQ(window.points().rows_held(), 1u) << "the tick ends at a failing queue";

    drain(window, queue);
    EXPECT_EQ(window.errors(), 2);
    EXPECT_TRUE(window.log_lines().join('\n').contains("PD [2] rejected: PointDataset::append()"));
    EXPECT_EQ(window.points().rows_held(), 2u) << "the row behind the refused one";
    EXPECT_EQ(window.items_taken(), 5u);
    ASSERT_EQ(window.visible_plots(), 1);
    EXPECT_EQ(window.plots()[0]->plots.at(0)->xData(), (QVector<double>{1, 3}));
}

TEST(ScopeIntake, StatusBarShowsTheCapsAndCounts) {
    auto owned = std::make_unique<ScriptedQueue>();
    ScriptedQueue& queue = *owned;
    queue.items = {item("PN", Value::str_list({"t"})), item("PD", Value::list({1})),
                   item("bogus", Value())};
    scope::ScopeOptions options;
    options.history = 1234;
    options.traces = 5;
    scope::ScopeWindow window(options, std::move(owned));
    drain(window, queue);
    const QString held = window.status().field("held");
    EXPECT_TRUE(held.contains("1 rows, 0 traces")) << held.toStdString();
    const QString caps = window.status().field_label("held")->toolTip();
    EXPECT_TRUE(caps.contains("1 of 1234 rows")) << caps.toStdString();
    EXPECT_TRUE(caps.contains("traces: 0 of 5")) << caps.toStdString();
    EXPECT_EQ(window.status().field("log"), "warnings 1");
}

TEST(ScopeIntake, DuplicateNamesAreRefusedAndThePreviousNamesStay) {
    ScriptedQueue* queue = nullptr;
    auto window = window_on(queue);
    queue->items = {item("PN", Value::str_list({"x", "y", "x", "y"})), item("PXY", "x,y")};
    drain(*window, *queue);
    EXPECT_EQ(window->errors(), 1);
    EXPECT_TRUE(window->log_lines().join('\n').contains(
        "PN ['x', 'y', 'x', 'y'] rejected: PointDataset::set_column_names(): the names 'x', 'y' "
        "are given more than once"))
        << window->log_lines().join('\n').toStdString();
    EXPECT_EQ(window->visible_plots(), 0) << "no plot shows columns it cannot tell apart";

    queue->items = {item("PN", Value::str_list({"x", "y"})), item("PD", Value::list({1, 2})),
                    item("PN", Value::str_list({"y", "x", "y"})), item("PD", Value::list({3, 4}))};
    drain(*window, *queue);
    EXPECT_EQ(window->errors(), 2);
    EXPECT_EQ(window->points().column_names(), (QStringList{"x", "y"}));
    ASSERT_EQ(window->visible_plots(), 1);
    EXPECT_EQ(window->plots()[0]->plots.at(0)->xData(), (QVector<double>{1, 3}))
        << "the data of the names kept goes on";
}

TEST(ScopeIntake, APlotWhoseDataIsGoneFitsAgain) {
    ScriptedQueue* queue = nullptr;
    auto window = window_on(queue);
    queue->items = {item("PN", Value::str_list({"t", "v"})), item("PXY", "t,v")};
    for (int i = 0; i < 5; ++i)
        queue->items.push_back(item("PD", Value::list({1000 + i, i})));
    drain(*window, *queue);
    ASSERT_EQ(window->visible_plots(), 1);
    chartpane::PlotWidget* plot = window->plots()[0];
    plotting::ViewBox* vb = plot->plotItem()->vb();
    EXPECT_GE(vb->viewRange().left(), 999);
    vb->setRange(QRectF(1001, 0, 2, 2)); // as a user's zoom: automatic range ends

    queue->items = {item("PN", Value::str_list({"t", "v", "w"}))}; // new names drop the data
    drain(*window, *queue);
    ASSERT_EQ(window->visible_plots(), 1) << "t,v still matches";
    EXPECT_TRUE(plot->plots.at(0)->xData().isEmpty());
    chartpane::PlotWidget fresh;
    EXPECT_EQ(vb->viewRange(), fresh.plotItem()->vb()->viewRange())
        << "an empty plot shows what a new one shows, not the range of the data gone";

    queue->items = {item("PD", Value::list({5, 1, 0})), item("PD", Value::list({7, 3, 0}))};
    drain(*window, *queue);
    EXPECT_LE(vb->viewRange().left(), 5);
    EXPECT_GE(vb->viewRange().right(), 7);
    EXPECT_LT(vb->viewRange().right(), 100) << "fitted to the new data";
}

TEST(ScopeIntake, TheMemoryBoundHoldsHalfForEachDataset) {
    ScriptedQueue* queue = nullptr;
    scope::ScopeOptions options;
    options.max_memory = 320; // 160 bytes a dataset: ten rows of two real columns
    auto window = window_on(queue, options);
    EXPECT_EQ(window->points().max_bytes(), 160u);
    EXPECT_EQ(window->traces().max_bytes(), 160u);
    queue->items = {item("PN", Value::str_list({"t", "v"}))};
    for (int i = 0; i < 25; ++i)
        queue->items.push_back(item("PD", Value::list({i, i})));
    drain(*window, *queue);
    EXPECT_EQ(window->points().rows_held(), 10u);
    EXPECT_EQ(window->points().generation(0).real(0)[0], 15.0) << "the oldest rows went first";

    scope::ScopeOptions defaults;
    auto other = window_on(queue, defaults);
    EXPECT_EQ(other->points().max_bytes(), scope::default_max_memory() / 2);
}

TEST(ScopeIntake, ErrorsAndWarningsReachStderrAtMostOnceASecondEachKind) {
    constexpr int bad_rows = 779;
    StderrCapture capture;
    {
        ScriptedQueue* queue = nullptr;
        auto window = window_on(queue);
        queue->items = {item("PN", Value::str_list({"t", "v"}))};
        for (int i = 0; i < bad_rows; ++i)
            queue->items.push_back(item("PD", Value::list({i})));
        queue->items.push_back(item("bogus", Value()));
        // A tick stops after 100 refused commands, so that the window keeps painting.
        for (int tick = 0; tick < 20 && !queue->items.empty(); ++tick)
            drain(*window, *queue);
        ASSERT_TRUE(queue->items.empty());
        EXPECT_EQ(window->errors(), bad_rows);
        EXPECT_EQ(window->warnings(), 1);
    } // the run ends: what is left is written
    const QStringList lines =
        capture.lines().filter(QRegularExpression(QStringLiteral("^lumenfold-scope: ")));
    int errors = 0, warnings = 0;
    const QRegularExpression more(
        QStringLiteral(" \\(and (\\d+) more like it in the last second\\)$"));
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = more.match(line);
        const int n = 1 + (m.hasMatch() ? m.captured(1).toInt() : 0);
        if (line.startsWith(QLatin1String("lumenfold-scope: error: PD [")) &&
            line.contains(QLatin1String("rejected: PointDataset::append(): the record has 1 "
                                        "value(s) but there are 2 columns ['t', 'v']")))
            errors += n;
        else if (line ==
                 QLatin1String("lumenfold-scope: warning: QueueHandler - unknown command : bogus"))
            warnings += n;
        else
            ADD_FAILURE() << "unexpected: " << line.toStdString();
    }
    EXPECT_EQ(errors, bad_rows) << "every error shown or counted";
    EXPECT_EQ(warnings, 1);
    EXPECT_LT(lines.size(), 20) << "not one line per error";
    EXPECT_TRUE(lines.value(0).startsWith(
        QLatin1String("lumenfold-scope: error: PD [0] rejected: PointDataset::append()")))
        << lines.value(0).toStdString();
}

TEST(ScopeIntake, SpaceHoldsThePlotsStillWhileDataArrivesAndRunShowsTheNewest) {
    ScriptedQueue* queue = nullptr;
    auto window = window_on(queue);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    queue->items = {item("PN", Value::str_list({"t", "v"})), item("PXY", "t,v")};
    for (int i = 0; i < 11; ++i)
        queue->items.push_back(item("PD", Value::list({i, i})));
    drain(*window, *queue);
    chartpane::PlotWidget* plot = window->plots().at(0);
    plotting::ViewBox* vb = plot->plotItem()->vb();
    const QRectF before = vb->viewRange();
    ASSERT_GE(before.right(), 10);
    ASSERT_EQ(plot->plots.at(0)->xData().size(), 11);

    QTest::keyClick(window.get(), Qt::Key_Space);
    ASSERT_TRUE(window->paused());
    for (int i = 11; i < 31; ++i)
        queue->items.push_back(item("PD", Value::list({i, 10 * i})));
    drain(*window, *queue);
    EXPECT_EQ(vb->viewRange(), before) << "the range stays while paused";
    EXPECT_EQ(plot->plots.at(0)->xData().size(), 11) << "the picture stays while paused";
    EXPECT_EQ(window->points().rows_held(), 31u) << "the data is applied all the same";
    EXPECT_EQ(window->status().field("paused"), "paused, 20 items applied since");

    // The view still answers the user while paused: F fits what is drawn.
    vb->setRange(QRectF(2, 0, 2, 2));
    plot->setFocus();
    QTest::keyClick(plot, Qt::Key_F);
    EXPECT_LE(vb->viewRange().left(), 0);
    EXPECT_GE(vb->viewRange().right(), 10);
    EXPECT_LT(vb->viewRange().right(), 30) << "it fits the picture held, not the newest data";

    // Run, from the button in the status bar this time, then "AR" follows the data again.
    auto* button = window->status().findChild<QToolButton*>("pause");
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(window->paused());
    EXPECT_EQ(window->status().field("paused"), "");
    EXPECT_EQ(plot->plots.at(0)->xData().size(), 31);
    window->all_enable_auto_range();
    window->tick();
    EXPECT_GE(vb->viewRange().right(), 30);
    EXPECT_GE(vb->viewRange().bottom(), 300);
}
