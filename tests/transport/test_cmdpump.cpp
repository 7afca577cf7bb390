// A producer process feeding a real CmdPump through a ZmqQueue: every command reaches its
// dataset or the toolbar in the order sent, and bad items become the intake's warnings
// without stopping it.
#include <tellurix/lumenfold/cmdpump.h>
#include <tellurix/lumenfold/toolbar.h>
#include <tellurix/lumenfold/transport.h>

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using tellurix::lumenfold::host::Value;
namespace host = tellurix::lumenfold::host;
namespace transport = tellurix::lumenfold::transport;
using namespace std::chrono_literals;

// A dataset that writes each call it receives into a shared log.
class LoggingDataset : public host::Dataset {
public:
    LoggingDataset(QString name, QStringList& log)
        : name_(std::move(name))
        , log_(log) {}
    void set_column_names(const Value& names) override {
        columns = QStringList();
        for (const Value& n : names.items())
            columns << n.as_str();
        log_ << name_ + ".set_column_names " + host::text_form(names);
    }
    void append(const Value& record) override {
        log_ << name_ + ".append " + host::text_form(record);
    }
    void roll() override { log_ << name_ + ".roll"; }
    QStringList columns;

private:
    QString name_;
    QStringList& log_;
};

class Box : public host::DataBox {
public:
    explicit Box(const LoggingDataset& d)
        : dataset_(d) {}
    QStringList column_names() const override { return dataset_.columns; }

private:
    const LoggingDataset& dataset_;
};

class Window : public host::HostWindow {
public:
    Window(const LoggingDataset& points, const LoggingDataset& traces)
        : points_(points)
        , traces_(traces) {}
    host::DataBox& point_data_box() override { return points_; }
    host::DataBox& trace_data_box() override { return traces_; }
    void all_enable_auto_range() override {}
    void enable_all_auto_range() override {}

private:
    Box points_, traces_;
};

TEST(ProducerToCmdPump, CommandsAreAppliedInOrder) {
    QStringList log;
    const host::WarningHandler previous =
        host::set_warning_handler([&log](const QString& t) { log << "warning " + t; });
    LoggingDataset points(QStringLiteral("points"), log), traces(QStringLiteral("traces"), log);
    Window window(points, traces);
    tellurix::lumenfold::toolbar::ToolBar toolbar;
    toolbar.set_mainwindow(&window);

    QTemporaryDir dir;
    transport::ZmqQueue queue("ipc://" + dir.filePath("q.ipc"));
    tellurix::lumenfold::cmdpump::CmdPump pump(queue, toolbar, points, traces);

    constexpr int records = 3000;
    QProcess child;
    child.start(QStringLiteral(LUMENFOLD_TEST_PRODUCER),
                {queue.endpoint(), QString::number(records), QStringLiteral("script")});
    QStringList expected{"points.set_column_names ['t', 'volts']"};
    for (int i = 0; i < records; ++i)
        expected << QStringLiteral("points.append [%1, %2]").arg(i).arg(host::float_text(i / 2.0));
    expected << "warning QueueHandler - fifo Content must be tuple"
             << "warning QueueHandler - unknown command : XX"
             << "points.roll"
             << "traces.set_column_names ['f', 'mag']"
             << "traces.append array([1, 2, 3])";

    // "TXY" comes last and leaves no log entry, only the trace pattern text.
    const auto done = [&] {
        return log.size() >= expected.size() && toolbar.ts->stx->text() == "f,mag";
    };
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        pump.flush();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(child.waitForFinished(30000));
    host::set_warning_handler(previous);

    ASSERT_EQ(log.size(), expected.size()) << log.join('\n').toStdString();
    for (int i = 0; i < expected.size(); ++i)
        ASSERT_EQ(log[i], expected[i]) << "entry " << i;
    EXPECT_EQ(toolbar.ps->stx->text(), "t,volts");
    EXPECT_EQ(toolbar.ts->stx->text(), "f,mag");
    EXPECT_EQ(queue.dropped_messages(), 0u);
}

} // namespace
