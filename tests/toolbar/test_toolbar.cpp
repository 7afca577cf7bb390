// ToolBar: the row, the published selection state and its dirty flags, the mode switch,
// the host wiring and the containment of errors raised under Qt's signal delivery.
#include <tellurix/lumenfold/config.h>
#include <tellurix/lumenfold/toolbar.h>

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QTest>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace lf = tellurix::lumenfold;
using lf::toolbar::SelectionBundle;
using lf::toolbar::ToolBar;
using lf::toolbar::XYPairs;

namespace {

struct FakeBox : lf::host::DataBox {
    QStringList names;
    mutable int reads = 0;
    QStringList column_names() const override {
        ++reads;
        return names;
    }
};

struct FakeHost : lf::host::HostWindow {
    FakeBox points, traces;
    int all_enable_calls = 0, enable_all_calls = 0;
    bool fail = false;
    lf::host::DataBox& point_data_box() override { return points; }
    lf::host::DataBox& trace_data_box() override { return traces; }
    void all_enable_auto_range() override {
        ++all_enable_calls;
        if (fail)
            throw std::runtime_error("no plots to range");
    }
    void enable_all_auto_range() override {
        ++enable_all_calls;
        if (fail)
            throw std::runtime_error("no plots to range");
    }
};

XYPairs P(std::initializer_list<lf::toolbar::XYPair> pairs) {
    return XYPairs(pairs);
}

QList<QWidget*> controls(const SelectionBundle& b) {
    return {b.stx, b.fx, b.fy, b.lx, b.ly, b.linkx, b.linky};
}

void click(QAbstractButton* b) {
    QTest::mouseClick(b, Qt::LeftButton);
}

class ToolBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = lf::host::set_warning_handler([this](const QString& t) { warnings << t; });
        host.points.names = QStringList{"u", "v", "w"};
        host.traces.names = QStringList{"t", "volts"};
    }
    void TearDown() override { lf::host::set_warning_handler(previous_); }

    void show() {
        bar.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    }
    void attach() { bar.set_mainwindow(&host); }
    // A click on a radio button, then the row laid out as the event loop would have it
    // before the user's next click.
    void switch_to(QRadioButton* button) {
        click(button);
        EXPECT_TRUE(QTest::qWaitFor([this] { return bar.selections().linky->isVisible(); }));
        bar.layout->activate();
    }
    // What the host does once it has redrawn.
    void clear_flags() {
        bar.xypairs_dirty = bar.xyfm_dirty = bar.link_dirty = bar.CR_flag = false;
    }
    void finish_edit(SelectionBundle& b, const QString& text) {
        b.stx->selectAll();
        QTest::keyClick(b.stx, Qt::Key_Backspace);
        QTest::keyClicks(b.stx, text);
        QTest::keyClick(b.stx, Qt::Key_Return);
    }

    FakeHost host;
    ToolBar bar;
    QStringList warnings;

private:
    lf::host::WarningHandler previous_;
};

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

TEST_F(ToolBarTest, RowHoldsTheControlsLeftToRightWithThePointsBundle) {
    const std::pair<QWidget*, QString> row[] = {
        {bar.pb, "Points"},        {bar.tb, "Traces"},       {bar.ytxt_lb, "(X,Y)"},
        {bar.ps->stx, ""},         {bar.fx_lb, "fx"},        {bar.ps->fx, "real"},
        {bar.fy_lb, "fy"},         {bar.ps->fy, "mag"},      {bar.AR, "AR"},
        {bar.CR, "CLR"},           {bar.ps->lx, "logX"},     {bar.ps->ly, "logY"},
        {bar.ps->linkx, "ShareX"}, {bar.ps->linky, "ShareY"}};
    ASSERT_EQ(bar.layout->count(), 14);
    for (int column = 0; column < 14; ++column) {
        QLayoutItem* item = bar.layout->itemAtPosition(0, column);
        ASSERT_NE(item, nullptr) << column;
        QWidget* w = item->widget();
        EXPECT_EQ(w, row[column].first) << column;
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text();
        else if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            text = e->text();
        else if (auto* c = qobject_cast<QComboBox*>(w))
            text = c->currentText();
        EXPECT_EQ(text, row[column].second) << column;
        EXPECT_EQ(w->parentWidget(), &bar) << column;
    }
    EXPECT_EQ(bar.layout->rowCount(), 1);
    for (QWidget* w : controls(*bar.ts))
        EXPECT_EQ(w->parentWidget(), nullptr);
}

TEST_F(ToolBarTest, StartsInPointsModeWithEveryGroupDirtyAndNothingComputed) {
    EXPECT_EQ(bar.mode, "P");
    EXPECT_TRUE(bar.pb->isChecked());
    EXPECT_FALSE(bar.tb->isChecked());
    EXPECT_TRUE(bar.xypairs.empty());
    EXPECT_TRUE(bar.xypairs_dirty);
    EXPECT_FALSE(bar.fx.has_value());
    EXPECT_FALSE(bar.fy.has_value());
    EXPECT_TRUE(bar.xyfm_dirty);
    EXPECT_TRUE(bar.link_dirty);
    EXPECT_FALSE(bar.lx);
    EXPECT_FALSE(bar.ly);
    EXPECT_FALSE(bar.CR_flag);
    EXPECT_EQ(bar.mainwindow, nullptr);
    EXPECT_EQ(bar.parentWidget(), nullptr);
    EXPECT_EQ(bar.styleSheet(), lf::config::style);
    EXPECT_EQ(static_cast<QWidget&>(bar).layout(), bar.layout);
    EXPECT_EQ(bar.layout->contentsMargins(), QMargins(0, 0, 0, 0));
    for (QLabel* label : {bar.ytxt_lb, bar.fx_lb, bar.fy_lb})
        EXPECT_TRUE(label->alignment() & Qt::AlignRight) << label->text().toStdString();
    EXPECT_EQ(bar.AR->maximumWidth(), 30);
    EXPECT_EQ(bar.CR->maximumWidth(), 30);
    EXPECT_EQ(bar.AR->toolTip(), "Auto Range");
    EXPECT_EQ(bar.CR->toolTip(), "Clearing History Plots");
    EXPECT_EQ(&bar.selections(), bar.ps.get());
}

TEST_F(ToolBarTest, ButtonsDoNothingBeforeTheHostIsAttached) {
    show();
    click(bar.AR);
    click(bar.CR);
    EXPECT_FALSE(bar.CR_flag);
    EXPECT_TRUE(warnings.isEmpty());
    EXPECT_THROW(bar.AR_action(), lf::NoHostError);
}

// ---------------------------------------------------------------------------
// Column names and pattern text from the command intake
// ---------------------------------------------------------------------------

TEST_F(ToolBarTest, ColumnNamesNeedTheHostAndReadBothBoxesEachTime) {
    try {
        bar.column_names();
        FAIL() << "column_names without a host";
    } catch (const lf::NoHostError& e) {
        EXPECT_STREQ(e.what(), "ToolBar::column_names(): no host window attached; call "
                               "ToolBar::set_mainwindow() first");
    }
    attach();
    EXPECT_EQ(bar.column_names(), host.points.names);
    host.points.names = QStringList{"a"};
    EXPECT_EQ(bar.column_names(), QStringList{"a"});
    EXPECT_EQ(host.points.reads, 2);
    EXPECT_EQ(host.traces.reads, 2);
}

struct BadText {
    const char* name;
    bool points; // set_point_text, else set_trace_text
    lf::host::Value value;
    const char* message;
};

void PrintTo(const BadText& b, std::ostream* os) {
    *os << b.name;
}

class TextTypeCheck : public ToolBarTest, public ::testing::WithParamInterface<BadText> {};

TEST_P(TextTypeCheck, RejectsAnythingButStrBeforeAnythingChanges) {
    const BadText& c = GetParam();
    attach();
    bar.set_point_text("u,v");
    bar.set_trace_text("t,volts");
    clear_flags();
    const XYPairs before = bar.xypairs;
    const int reads = host.points.reads + host.traces.reads;
    try {
        if (c.points)
            bar.set_point_text(c.value);
        else
            bar.set_trace_text(c.value);
        FAIL() << "no TypeError";
    } catch (const lf::TypeError& e) {
        EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(bar.ps->stx->text(), "u,v");
    EXPECT_EQ(bar.ts->stx->text(), "t,volts");
    EXPECT_EQ(bar.xypairs, before);
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_EQ(host.points.reads + host.traces.reads, reads);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TextTypeCheck,
    ::testing::Values(BadText{"PointInt", true, 5,
                              "set_point_text(): argument 'text' must be str, not int"},
                      BadText{"PointNone", true, lf::host::Value(),
                              "set_point_text(): argument 'text' must be str, not none"},
                      BadText{"PointBytes", true, lf::host::Value::bytes("u,v"),
                              "set_point_text(): argument 'text' must be str, not bytes"},
                      BadText{"TraceList", false, lf::host::Value::str_list({"u,v"}),
                              "set_trace_text(): argument 'text' must be str, not list"},
                      BadText{"TraceFloat", false, 1.5,
                              "set_trace_text(): argument 'text' must be str, not float"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolBarTest, NullTextPointerIsNone) {
    attach();
    const char* none = nullptr;
    EXPECT_THROW(bar.set_point_text(none), lf::TypeError);
    EXPECT_THROW(bar.set_trace_text(none), lf::TypeError);
}

TEST_F(ToolBarTest, PointTextInPointsModeTakesEffectAtOnce) {
    attach();
    clear_flags();
    bar.set_point_text(lf::host::Value("u,v ; w,.*"));
    EXPECT_EQ(bar.ps->stx->text(), "u,v ; w,.*");
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}, {"w", "u"}, {"w", "v"}, {"w", "w"}}));
    EXPECT_TRUE(bar.xypairs_dirty);
}

TEST_F(ToolBarTest, TextForTheOtherFamilyWaitsForItsModeSwitch) {
    attach();
    show();
    bar.set_point_text("u,v");
    bar.set_trace_text("t,volts");
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}}));
    switch_to(bar.tb);
    EXPECT_EQ(bar.xypairs, P({{"t", "volts"}}));
    clear_flags();
    bar.set_point_text("w,u");
    EXPECT_EQ(bar.xypairs, P({{"t", "volts"}}));
    EXPECT_FALSE(bar.xypairs_dirty);
    switch_to(bar.pb);
    EXPECT_EQ(bar.xypairs, P({{"w", "u"}}));
    EXPECT_TRUE(bar.xypairs_dirty);
}

// ---------------------------------------------------------------------------
// xypairs_dirty: raised when the new pairs differ in any way, never lowered
// ---------------------------------------------------------------------------

struct Rematch {
    const char* name;
    QString first, second;
    XYPairs pairs; // after the second text
    bool dirty;
};

void PrintTo(const Rematch& r, std::ostream* os) {
    *os << r.name;
}

class PairsDirty : public ToolBarTest, public ::testing::WithParamInterface<Rematch> {};

TEST_P(PairsDirty, FollowsTheComparisonWithThePreviousPairs) {
    const Rematch& r = GetParam();
    attach();
    show();
    bar.set_point_text(r.first);
    clear_flags();
    finish_edit(*bar.ps, r.second);
    EXPECT_EQ(bar.ps->stx->text(), r.second);
    EXPECT_EQ(bar.xypairs, r.pairs);
    EXPECT_EQ(bar.xypairs_dirty, r.dirty);
    EXPECT_FALSE(bar.xyfm_dirty);
    EXPECT_FALSE(bar.link_dirty);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, PairsDirty,
    ::testing::Values(
        Rematch{"SameText", "u,v", "u,v", P({{"u", "v"}}), false},
        Rematch{"OtherTextSamePairs", "u,v", "u,v;x,y", P({{"u", "v"}}), false},
        Rematch{"BothEmpty", "x,y", "", {}, false},
        Rematch{"OnePairDiffers", "u,v;w,w", "u,w;w,w", P({{"u", "w"}, {"w", "w"}}), true},
        Rematch{"MorePairs", "u,v", "u,.*", P({{"u", "u"}, {"u", "v"}, {"u", "w"}}), true},
        Rematch{"FewerPairs", "u,.*", "u,w", P({{"u", "w"}}), true},
        Rematch{"NoPairsLeft", "u,v", "q,q", {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolBarTest, SamePairsInAnotherOrderAreAChange) {
    attach();
    bar.set_point_text("u,v;v,u");
    clear_flags();
    host.points.names = QStringList{"v", "u", "w"};
    bar.refresh_comb();
    EXPECT_EQ(bar.xypairs, P({{"v", "u"}, {"u", "v"}}));
    EXPECT_TRUE(bar.xypairs_dirty);
}

TEST_F(ToolBarTest, TypingWithoutFinishingLeavesThePairs) {
    attach();
    show();
    clear_flags();
    QTest::keyClicks(bar.ps->stx, "u,v");
    EXPECT_TRUE(bar.xypairs.empty());
    EXPECT_FALSE(bar.xypairs_dirty);
    QTest::keyClick(bar.ps->stx, Qt::Key_Return);
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}}));
    EXPECT_TRUE(bar.xypairs_dirty);
}

// ---------------------------------------------------------------------------
// Errors under signal delivery are contained; direct calls propagate them
// ---------------------------------------------------------------------------

TEST_F(ToolBarTest, InvalidPatternTypedByTheUserIsReportedAndShownUntilFixed) {
    attach();
    show();
    finish_edit(*bar.ps, "u,v");
    clear_flags();
    finish_edit(*bar.ps, "u,v;*");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].startsWith("ToolBar::textEdited: invalid pattern item '*': "))
        << warnings[0].toStdString();
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}}));
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_TRUE(bar.ps->stx->toolTip().contains("invalid pattern item '*'"));
    EXPECT_TRUE(bar.ps->stx->styleSheet().contains("red"));

    finish_edit(*bar.ps, "w,u");
    EXPECT_EQ(warnings.size(), 1);
    EXPECT_EQ(bar.xypairs, P({{"w", "u"}}));
    EXPECT_TRUE(bar.xypairs_dirty);
    EXPECT_EQ(bar.ps->stx->toolTip(), "");
    EXPECT_EQ(bar.ps->stx->styleSheet(), "");
}

TEST_F(ToolBarTest, InvalidPatternFromTheIntakePropagates) {
    attach();
    bar.set_point_text("u,v");
    clear_flags();
    EXPECT_THROW(bar.set_point_text("(u"), lf::PatternError);
    EXPECT_EQ(bar.ps->stx->text(), "(u");
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}}));
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_TRUE(warnings.isEmpty());
    EXPECT_TRUE(bar.ps->stx->toolTip().contains("missing closing parenthesis"));
}

TEST_F(ToolBarTest, RunawayPatternEndsInAReportNotAFrozenGui) {
    host.points.names = QStringList{QString(40, QLatin1Char('a')), "b"};
    attach();
    show();
    finish_edit(*bar.ps, "(a+)+b");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].startsWith("ToolBar::textEdited: invalid pattern item '(a+)+b': "
                                       "match limit exceeded"))
        << warnings[0].toStdString();
    EXPECT_TRUE(bar.xypairs.empty());
}

TEST_F(ToolBarTest, PatternTooBroadForTheNameListIsReportedAndThePairsStay) {
    QStringList names;
    for (int i = 0; i < 1500; ++i)
        names << QStringLiteral("c%1").arg(i);
    host.points.names = names;
    attach();
    show();
    finish_edit(*bar.ps, "c1,c2");
    EXPECT_EQ(bar.xypairs, P({{"c1", "c2"}}));
    clear_flags();
    finish_edit(*bar.ps, ".*");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].startsWith("ToolBar::textEdited: invalid pattern item '.*': 1,500 "
                                       "names give 2,250,000 pairs to check"))
        << warnings[0].toStdString();
    EXPECT_EQ(bar.xypairs, P({{"c1", "c2"}}));
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_TRUE(bar.ps->stx->toolTip().contains("narrow the pattern"));
}

std::vector<QString>& qt_log() {
    static std::vector<QString> messages;
    return messages;
}

// Test hosts often turn warnings into exceptions; the handler contract forbids it, and the
// channel must keep such a handler from ending the application from inside a slot.
TEST_F(ToolBarTest, WarningHandlerThatThrowsDoesNotEndTheApplication) {
    attach();
    show();
    lf::host::set_warning_handler(
        [](const QString& text) { throw std::runtime_error(text.toStdString()); });
    qt_log().clear();
    const QtMessageHandler before =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            qt_log().push_back(text);
        });
    finish_edit(*bar.ps, "u,v;*");
    qInstallMessageHandler(before);
    ASSERT_EQ(qt_log().size(), 1U);
    EXPECT_TRUE(qt_log()[0].startsWith("ToolBar::textEdited: invalid pattern item '*'"))
        << qt_log()[0].toStdString();
    EXPECT_TRUE(qt_log()[0].contains("(the warning handler threw: ToolBar::textEdited"));
    EXPECT_TRUE(bar.ps->stx->styleSheet().contains("red"));
}

TEST_F(ToolBarTest, ModeSwitchReachingABadPatternIsReportedAndTheSwitchStands) {
    attach();
    show();
    bar.set_point_text("u,v");
    bar.set_trace_text("*"); // matched only once traces are current
    EXPECT_TRUE(warnings.isEmpty());
    clear_flags();
    switch_to(bar.tb);
    // Both radio buttons report the switch; each run fails the same way.
    ASSERT_EQ(warnings.size(), 2);
    for (const QString& w : warnings)
        EXPECT_TRUE(w.startsWith("ToolBar::toggle_mode: invalid pattern item '*'"))
            << w.toStdString();
    EXPECT_EQ(bar.mode, "T");
    EXPECT_EQ(bar.layout->itemAtPosition(0, 3)->widget(), bar.ts->stx);
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}}));
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_TRUE(bar.xyfm_dirty) << "formats are re-read before the pattern";
    EXPECT_FALSE(bar.ts->stx->toolTip().isEmpty());

    finish_edit(*bar.ts, "t,.*");
    EXPECT_EQ(bar.xypairs, P({{"t", "t"}, {"t", "volts"}}));
    EXPECT_TRUE(bar.xypairs_dirty);
}

TEST_F(ToolBarTest, EditsWithoutAHostAreReported) {
    show();
    finish_edit(*bar.ps, "u,v");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_EQ(warnings[0], "ToolBar::textEdited: ToolBar::column_names(): no host window "
                           "attached; call ToolBar::set_mainwindow() first");
    EXPECT_TRUE(bar.xypairs.empty());
    EXPECT_THROW(bar.set_point_text("u,v"), lf::NoHostError);
    EXPECT_EQ(bar.ps->stx->text(), "u,v");
}

// ---------------------------------------------------------------------------
// Mode switch
// ---------------------------------------------------------------------------

TEST_F(ToolBarTest, SwitchingSwapsTheBundlesAndEachKeepsItsState) {
    attach();
    show();
    finish_edit(*bar.ps, "u,.*");
    QTest::keyClick(bar.ps->fx, Qt::Key_Down);
    click(bar.ps->ly);
    click(bar.ps->linkx);

    switch_to(bar.tb);
    EXPECT_EQ(bar.mode, "T");
    EXPECT_TRUE(bar.tb->isChecked());
    EXPECT_FALSE(bar.pb->isChecked());
    EXPECT_EQ(&bar.selections(), bar.ts.get());
    const int bundle_columns[] = {3, 5, 7, 10, 11, 12, 13};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(bar.layout->itemAtPosition(0, bundle_columns[i])->widget(), controls(*bar.ts)[i])
            << bundle_columns[i];
    for (QWidget* w : controls(*bar.ps))
        EXPECT_EQ(w->parentWidget(), nullptr);
    EXPECT_EQ(bar.layout->count(), 14);
    EXPECT_EQ(bar.fx, "real");
    EXPECT_FALSE(bar.ly);
    EXPECT_EQ(bar.ts->stx->text(), "");

    switch_to(bar.pb);
    EXPECT_EQ(bar.mode, "P");
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(bar.layout->itemAtPosition(0, bundle_columns[i])->widget(), controls(*bar.ps)[i]);
    EXPECT_EQ(bar.ps->stx->text(), "u,.*");
    EXPECT_EQ(bar.ps->fx->currentText(), "imag");
    EXPECT_TRUE(bar.ps->ly->isChecked());
    EXPECT_TRUE(bar.ps->linkx->isChecked());
    EXPECT_EQ(bar.fx, "imag");
    EXPECT_TRUE(bar.ly);
    EXPECT_EQ(bar.xypairs, P({{"u", "u"}, {"u", "v"}, {"u", "w"}}));
    EXPECT_TRUE(QTest::qWaitFor([this] { return bar.ps->stx->isVisible(); }));
    EXPECT_FALSE(bar.ts->stx->isVisible());
}

TEST_F(ToolBarTest, SwitchBetweenFamiliesWithEqualPairsOnlyRaisesTheFormatFlag) {
    host.traces.names = host.points.names;
    attach();
    show();
    bar.set_point_text("u,v");
    bar.set_trace_text("u ,v");
    clear_flags();
    switch_to(bar.tb);
    EXPECT_EQ(bar.mode, "T");
    EXPECT_EQ(bar.xypairs, P({{"u", "v"}}));
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_TRUE(bar.xyfm_dirty);
    EXPECT_FALSE(bar.link_dirty);
}

// ---------------------------------------------------------------------------
// Formats, log and share boxes
// ---------------------------------------------------------------------------

struct FormatGesture {
    const char* name;
    std::function<void(SelectionBundle&)> act;
    const char* fx;
    const char* fy;
    bool lx, ly;
};

void PrintTo(const FormatGesture& g, std::ostream* os) {
    *os << g.name;
}

class FormatRead : public ToolBarTest, public ::testing::WithParamInterface<FormatGesture> {};

TEST_P(FormatRead, RereadsTheCurrentBundleAndRaisesOnlyTheFormatFlag) {
    const FormatGesture& g = GetParam();
    attach();
    show();
    switch_to(bar.tb); // the gestures act on the traces bundle, now current
    clear_flags();
    bar.fx.reset();
    bar.fy.reset();
    g.act(*bar.ts);
    EXPECT_EQ(bar.fx, g.fx);
    EXPECT_EQ(bar.fy, g.fy);
    EXPECT_EQ(bar.lx, g.lx);
    EXPECT_EQ(bar.ly, g.ly);
    EXPECT_TRUE(bar.xyfm_dirty);
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_FALSE(bar.link_dirty);
    EXPECT_TRUE(warnings.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Gestures, FormatRead,
    ::testing::Values(
        FormatGesture{"ReChooseCurrentX",
                      [](SelectionBundle& b) {
                          b.fx->showPopup();
                          QTest::keyClick(b.fx->view(), Qt::Key_Return);
                      },
                      "real", "mag", false, false},
        FormatGesture{"NextX", [](SelectionBundle& b) { QTest::keyClick(b.fx, Qt::Key_Down); },
                      "imag", "mag", false, false},
        FormatGesture{"LastY", [](SelectionBundle& b) { QTest::keyClick(b.fy, Qt::Key_End); },
                      "real", "imag", false, false},
        FormatGesture{"LogX", [](SelectionBundle& b) { click(b.lx); }, "real", "mag", true, false},
        FormatGesture{"LogY", [](SelectionBundle& b) { click(b.ly); }, "real", "mag", false, true},
        FormatGesture{"SetIdx", [](SelectionBundle& b) { b.fy->set_idx(1); }, "real", "phase",
                      false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolBarTest, ShareBoxesRaiseTheLinkFlagAndSharexyReadsTheCurrentBundleOnly) {
    attach();
    show();
    clear_flags();
    click(bar.ps->linkx);
    EXPECT_TRUE(bar.link_dirty);
    EXPECT_FALSE(bar.xyfm_dirty);
    EXPECT_FALSE(bar.xypairs_dirty);
    EXPECT_EQ(bar.sharexy(), std::make_pair(true, false));

    switch_to(bar.tb);
    EXPECT_EQ(bar.sharexy(), std::make_pair(false, false));
    clear_flags();
    click(bar.ts->linky);
    EXPECT_TRUE(bar.link_dirty);
    EXPECT_EQ(bar.sharexy(), std::make_pair(false, true));
    switch_to(bar.pb);
    EXPECT_EQ(bar.sharexy(), std::make_pair(true, false));
}

// ---------------------------------------------------------------------------
// refresh_comb
// ---------------------------------------------------------------------------

TEST_F(ToolBarTest, RefreshCombRereadsEverythingAndListsTheColumnsInTheTooltip) {
    attach();
    show();
    switch_to(bar.tb);
    bar.set_trace_text("t,v.*");
    clear_flags();
    host.points.reads = host.traces.reads = 0;
    bar.refresh_comb();
    EXPECT_EQ(bar.ytxt_lb->toolTip(), "['t', 'volts']");
    EXPECT_EQ(bar.xypairs, P({{"t", "volts"}}));
    EXPECT_TRUE(bar.xyfm_dirty);
    EXPECT_EQ(bar.fx, "real");
    EXPECT_EQ(host.traces.reads, 2) << "once for the pairs, once for the tooltip";

    host.traces.names.clear();
    bar.refresh_comb();
    EXPECT_EQ(bar.ytxt_lb->toolTip(), "[]");
    EXPECT_TRUE(bar.xypairs.empty());
    EXPECT_TRUE(bar.xypairs_dirty);
}

TEST_F(ToolBarTest, RefreshCombWithoutHostKeepsWhatTheFormatReadDid) {
    bar.ytxt_lb->setToolTip("old");
    EXPECT_THROW(bar.refresh_comb(), lf::NoHostError);
    EXPECT_EQ(bar.fx, "real");
    EXPECT_EQ(bar.fy, "mag");
    EXPECT_EQ(bar.ytxt_lb->toolTip(), "old");
}

// ---------------------------------------------------------------------------
// Host wiring: AR, CLR, AR_action
// ---------------------------------------------------------------------------

TEST_F(ToolBarTest, ButtonsReachTheHostOncePerAttachment) {
    show();
    attach();
    click(bar.AR);
    EXPECT_EQ(host.all_enable_calls, 1);
    EXPECT_EQ(host.enable_all_calls, 0);
    click(bar.CR);
    click(bar.CR);
    EXPECT_TRUE(bar.CR_flag);

    attach(); // a second attachment adds a second pair of connections
    click(bar.AR);
    EXPECT_EQ(host.all_enable_calls, 3);
    bar.CR_flag = false;
    click(bar.CR);
    EXPECT_TRUE(bar.CR_flag);
    EXPECT_TRUE(warnings.isEmpty());
}

TEST_F(ToolBarTest, HostFailingOnARClickIsReported) {
    show();
    attach();
    host.fail = true;
    click(bar.AR);
    EXPECT_EQ(warnings, QStringList{"ToolBar::all_enable_auto_range: no plots to range"});
}

TEST_F(ToolBarTest, ARActionCallsTheOtherHostOperationAndPropagates) {
    attach();
    bar.AR_action();
    EXPECT_EQ(host.enable_all_calls, 1);
    EXPECT_EQ(host.all_enable_calls, 0);
    host.fail = true;
    EXPECT_THROW(bar.AR_action(), std::runtime_error);
    EXPECT_THROW(bar.set_mainwindow(nullptr), lf::TypeError);
    EXPECT_EQ(bar.mainwindow, &host);
}

// ---------------------------------------------------------------------------
// Ownership: every control dies exactly once, whichever bundle is shown
// ---------------------------------------------------------------------------

class Teardown : public ::testing::TestWithParam<bool> {};

TEST_P(Teardown, DestroyingTheToolbarDestroysBothBundlesControls) {
    FakeHost host;
    host.points.names = QStringList{"u"};
    auto bar = std::make_unique<ToolBar>();
    bar->set_mainwindow(&host);
    bar->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(bar.get()));
    if (GetParam())
        click(bar->tb);
    ASSERT_EQ(bar->mode, GetParam() ? "T" : "P");
    bar->selections().stx->setFocus();
    QList<QPointer<QWidget>> watched;
    for (const auto* bundle : {bar->ps.get(), bar->ts.get()})
        for (QWidget* w : controls(*bundle))
            watched << w;
    bar.reset();
    for (const QPointer<QWidget>& w : watched)
        EXPECT_TRUE(w.isNull());
}

INSTANTIATE_TEST_SUITE_P(Modes, Teardown, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Traces" : "Points"; });

} // namespace
