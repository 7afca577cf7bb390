// The command table: every word, the near misses, and what each one may touch.
#include "fixtures.h"

#include <gtest/gtest.h>

using namespace lumenfold_test;

namespace {

struct CommandRow {
    const char* label;
    Value cmd;
    Value data;
    QStringList events; // datasets, name reads and warnings, in order
    bool refreshed;     // refresh_comb ran (it always re-reads the formats)
    QString tooltip;    // the "(X,Y)" tooltip afterwards; null when untouched
};

void PrintTo(const CommandRow& row, std::ostream* os) {
    *os << row.label;
}

const QString kUntouched;

class Dispatch : public ::testing::TestWithParam<CommandRow> {
protected:
    void check(Intake& in) const {
        const CommandRow& row = GetParam();
        EXPECT_EQ(in.log, row.events);
        EXPECT_EQ(in.toolbar.xyfm_dirty, row.refreshed);
        EXPECT_EQ(in.toolbar.ytxt_lb->toolTip(), row.tooltip.isNull() ? before_ : row.tooltip);
    }
    QString before_;
};

TEST_P(Dispatch, DirectCallAppliesTheRow) {
    Intake in;
    before_ = in.toolbar.ytxt_lb->toolTip();
    in.pump.handle(GetParam().cmd, GetParam().data);
    check(in);
    EXPECT_EQ(in.queue.get_calls, 0);
}

TEST_P(Dispatch, QueuedItemAppliesTheSameRow) {
    if (!GetParam().cmd.is_str())
        GTEST_SKIP() << "the queue only passes str words on";
    Intake in;
    before_ = in.toolbar.ytxt_lb->toolTip();
    in.queue.put(Value::tuple({GetParam().cmd, GetParam().data}));
    in.pump.flush();
    check(in);
    EXPECT_EQ(in.queue.size(), 0U);
}

const Value kNames = Value::str_list({"t", "volts"});

QStringList unknown(const char* text) {
    return {QStringLiteral("warn: QueueHandler - unknown command : ") + QString::fromUtf8(text)};
}

INSTANTIATE_TEST_SUITE_P(
    Words, Dispatch,
    ::testing::Values(
        CommandRow{"PN",
                   "PN",
                   kNames,
                   {"points.set_column_names ['t', 'volts']", "names read"},
                   true,
                   "['t', 'volts']"},
        // The toolbar shows the points family, so the trace names are read but not shown.
        CommandRow{"TN",
                   "TN",
                   kNames,
                   {"traces.set_column_names ['t', 'volts']", "names read"},
                   true,
                   "[]"},
        CommandRow{"PN_empty",
                   "PN",
                   Value::list({}),
                   {"points.set_column_names []", "names read"},
                   true,
                   "[]"},
        CommandRow{
            "PD", "PD", Value::list({1.5, 2}), {"points.append [1.5, 2]"}, false, kUntouched},
        CommandRow{"TD",
                   "TD",
                   Value::float_array({1, 2}),
                   {"traces.append array([1, 2])"},
                   false,
                   kUntouched},
        CommandRow{"PD_none", "PD", Value(), {"points.append None"}, false, kUntouched},
        CommandRow{"ROLL", "ROLL", Value(), {"points.roll"}, false, kUntouched},
        CommandRow{"ROLL_payload_ignored", "ROLL", "traces", {"points.roll"}, false, kUntouched},
        CommandRow{"PXY", "PXY", "t,volts", {"names read"}, false, kUntouched},
        CommandRow{"TXY", "TXY", ".*", {"names read"}, false, kUntouched}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    NearMisses, Dispatch,
    ::testing::Values(
        CommandRow{"lower_roll", "roll", Value(), unknown("roll"), false, kUntouched},
        CommandRow{"trailing_blank", "PN ", kNames, unknown("PN "), false, kUntouched},
        CommandRow{"leading_blank", " PD", 1, unknown(" PD"), false, kUntouched},
        CommandRow{"mixed_case", "Pd", 1, unknown("Pd"), false, kUntouched},
        CommandRow{"longer", "PXYZ", "a", unknown("PXYZ"), false, kUntouched},
        CommandRow{"prefix", "P", 1, unknown("P"), false, kUntouched},
        CommandRow{"empty", "", 1, unknown(""), false, kUntouched},
        CommandRow{"integer", 5, 1, unknown("5"), false, kUntouched},
        CommandRow{"none", Value(), 1, unknown("None"), false, kUntouched},
        CommandRow{"bytes", Value::bytes("PD"), 1, unknown("b'PD'"), false, kUntouched},
        CommandRow{"tuple", Value::tuple({"PD"}), 1, unknown("('PD',)"), false, kUntouched}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Payloads the datasets or the toolbar reject
// ---------------------------------------------------------------------------

struct RejectedRow {
    const char* label;
    QString cmd;
    Value data;
    const char* error;
    QStringList events;
};

void PrintTo(const RejectedRow& row, std::ostream* os) {
    *os << row.label;
}

class RejectedPayload : public ::testing::TestWithParam<RejectedRow> {};

TEST_P(RejectedPayload, ErrorReachesTheCallerAndNothingFollows) {
    const RejectedRow& row = GetParam();
    Intake in;
    const QString tooltip = in.toolbar.ytxt_lb->toolTip();
    try {
        in.pump.handle(row.cmd, row.data);
        ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), row.error);
    }
    EXPECT_EQ(in.log, row.events);
    EXPECT_FALSE(in.toolbar.xyfm_dirty) << "refresh_comb ran after a failed name change";
    EXPECT_EQ(in.toolbar.ytxt_lb->toolTip(), tooltip);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, RejectedPayload,
    ::testing::Values(
        RejectedRow{"PN_not_a_list",
                    "PN",
                    5,
                    "set_column_names(): argument 'names' must be list or tuple, not int",
                    {"points.set_column_names 5"}},
        RejectedRow{"TN_not_str_names",
                    "TN",
                    Value::list({"t", 2}),
                    "set_column_names(): argument 'names' must be str, not int",
                    {"traces.set_column_names ['t', 2]"}},
        RejectedRow{"PD_failing_append", "PD", "boom", "append failed", {"points.append 'boom'"}},
        RejectedRow{
            "PXY_int", "PXY", 5, "set_point_text(): argument 'text' must be str, not int", {}},
        RejectedRow{"TXY_none",
                    "TXY",
                    Value(),
                    "set_trace_text(): argument 'text' must be str, not none",
                    {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DispatchTargets, PatternCommandsReachTheirOwnFamily) {
    Intake in;
    in.put("PN", Value::str_list({"t", "a", "b"}));
    in.put("PXY", "t,a");
    in.put("TXY", "t,b");
    in.pump.flush();
    EXPECT_EQ(in.toolbar.ps->stx->text(), QStringLiteral("t,a"));
    EXPECT_EQ(in.toolbar.ts->stx->text(), QStringLiteral("t,b"));
    // The points family is shown: its pattern is matched against the point names.
    ASSERT_EQ(in.toolbar.xypairs.size(), 1U);
    EXPECT_EQ(in.toolbar.xypairs[0], lf::toolbar::XYPair("t", "a"));
    EXPECT_TRUE(in.toolbar.xypairs_dirty);
}

TEST(DispatchTargets, ConstructorOnlyStoresItsReferences) {
    Intake in;
    const lf::cmdpump::CmdPump pump(in.queue, in.toolbar, in.points, in.traces);
    EXPECT_EQ(pump.queue, &in.queue);
    EXPECT_EQ(pump.toolbar, &in.toolbar);
    EXPECT_EQ(pump.point_dataset, &in.points);
    EXPECT_EQ(pump.trace_dataset, &in.traces);
    EXPECT_EQ(in.queue.empty_calls + in.queue.get_calls, 0);
    EXPECT_TRUE(in.log.isEmpty());
    EXPECT_FALSE(in.toolbar.xyfm_dirty);
}

TEST(DispatchTargets, MembersAreReadAtEachCall) {
    Intake in;
    EventLog other_log;
    RecordingDataset other(QStringLiteral("other"), other_log);
    in.pump.point_dataset = &other;
    in.pump.handle("PD", 1);
    in.pump.handle("ROLL", Value());
    EXPECT_EQ(other_log, QStringList({"other.append 1", "other.roll"}));
    EXPECT_TRUE(in.log.isEmpty());
}

} // namespace
