// Test doubles around a real ToolBar: datasets and data boxes that write what happens to
// them into one shared event log, so that the order of effects across the datasets, the
// toolbar and the warning channel can be checked in one comparison.
#pragma once

#include <tellurix/lumenfold/cmdpump.h>
#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/toolbar.h>

#include <QStringList>

#include <stdexcept>

namespace lumenfold_test {

namespace lf = tellurix::lumenfold;
using lf::host::Value;

using EventLog = QStringList;

// A dataset that logs each call with its payload in quoted form. Column names must be a
// list of str, as a real dataset would insist; an append of the str "boom" fails.
class RecordingDataset : public lf::host::Dataset {
public:
    RecordingDataset(QString name, EventLog& log)
        : name_(std::move(name))
        , log_(log) {}

    void set_column_names(const Value& names) override {
        log_ << name_ + QStringLiteral(".set_column_names ") + lf::host::quoted_form(names);
        QStringList checked;
        for (const Value& n : names.items("set_column_names", "names"))
            checked << n.as_str("set_column_names", "names");
        columns = checked;
    }
    void append(const Value& record) override {
        log_ << name_ + QStringLiteral(".append ") + lf::host::quoted_form(record);
        if (record == Value("boom"))
            throw std::runtime_error("append failed");
    }
    void roll() override { log_ << name_ + QStringLiteral(".roll"); }

    QStringList columns;

private:
    QString name_;
    EventLog& log_;
};

// Hands the toolbar the columns of its dataset, as a host whose boxes are its datasets.
// Consecutive reads log once: how often the toolbar reads is its own business, whether it
// reads (and after which dataset call) is what the intake decides.
class DatasetBox : public lf::host::DataBox {
public:
    DatasetBox(const RecordingDataset& dataset, EventLog& log)
        : dataset_(dataset)
        , log_(log) {}
    QStringList column_names() const override {
        if (log_.isEmpty() || log_.last() != QLatin1String("names read"))
            log_ << QStringLiteral("names read");
        return dataset_.columns;
    }

private:
    const RecordingDataset& dataset_;
    EventLog& log_;
};

class FakeHostWindow : public lf::host::HostWindow {
public:
    FakeHostWindow(const RecordingDataset& points, const RecordingDataset& traces, EventLog& log)
        : point_box_(points, log)
        , trace_box_(traces, log) {}
    lf::host::DataBox& point_data_box() override { return point_box_; }
    lf::host::DataBox& trace_data_box() override { return trace_box_; }
    void all_enable_auto_range() override {}
    void enable_all_auto_range() override {}

private:
    DatasetBox point_box_, trace_box_;
};

// A queue that counts the calls made on it.
class CountingQueue : public lf::cmdpump::MemoryQueue {
public:
    bool empty() override {
        ++empty_calls;
        return MemoryQueue::empty();
    }
    Value get() override {
        ++get_calls;
        return MemoryQueue::get();
    }
    int empty_calls = 0;
    int get_calls = 0;
};

// Everything one intake needs, wired as a host would wire it. Warnings join the event log.
class Intake {
public:
    Intake() {
        toolbar.set_mainwindow(&window);
        previous_handler_ = lf::host::set_warning_handler(
            [this](const QString& text) { log << QStringLiteral("warn: ") + text; });
        settle();
    }
    ~Intake() { lf::host::set_warning_handler(previous_handler_); }
    Intake(const Intake&) = delete;
    Intake& operator=(const Intake&) = delete;

    // The host's part: it has acted on everything the toolbar published so far.
    void settle() {
        toolbar.xypairs_dirty = toolbar.xyfm_dirty = toolbar.link_dirty = false;
        log.clear();
    }

    void put(const QString& word, const Value& data) { queue.put(Value::tuple({word, data})); }

    EventLog log;
    RecordingDataset points{QStringLiteral("points"), log};
    RecordingDataset traces{QStringLiteral("traces"), log};
    FakeHostWindow window{points, traces, log};
    lf::toolbar::ToolBar toolbar;
    CountingQueue queue;
    lf::cmdpump::CmdPump pump{queue, toolbar, points, traces};

private:
    lf::host::WarningHandler previous_handler_;
};

} // namespace lumenfold_test
