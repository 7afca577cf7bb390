// The selection widgets (format combos, pattern field) and the selection bundle, driven by
// real key and mouse events.
#include <tellurix/lumenfold/toolbar.h>

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace lf = tellurix::lumenfold;
using lf::toolbar::FormatCombo;
using lf::toolbar::LineEdit;
using lf::toolbar::SelectionBundle;
using lf::toolbar::XFormatCombo;
using lf::toolbar::YFormatCombo;

namespace {

QStringList items_of(const QComboBox& combo) {
    QStringList out;
    for (int i = 0; i < combo.count(); ++i)
        out << combo.itemText(i);
    return out;
}

// Collects what reaches the warning channel while a test runs.
class WarningLog : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = lf::host::set_warning_handler([this](const QString& t) { warnings << t; });
    }
    void TearDown() override { lf::host::set_warning_handler(previous_); }
    QStringList warnings;

private:
    lf::host::WarningHandler previous_;
};

// ---------------------------------------------------------------------------
// Format combos
// ---------------------------------------------------------------------------

TEST(FormatComboTest, NewCombosListTheirFormatsAndShowTheFirst) {
    XFormatCombo x;
    YFormatCombo y;
    EXPECT_EQ(items_of(x), QStringList({"real", "imag", "mag", "phase"}));
    EXPECT_EQ(items_of(y), QStringList({"mag", "phase", "real", "imag"}));
    EXPECT_EQ(x.currentText(), "real");
    EXPECT_EQ(y.currentText(), "mag");
    EXPECT_FALSE(x.on_change_callable);
    EXPECT_EQ(x.parentWidget(), nullptr);
}

struct SetIdxCase {
    int idx;
    int index_after;
    const char* text_after;
};

class SetIdx : public ::testing::TestWithParam<SetIdxCase> {};

TEST_P(SetIdx, SetsTheIndexThenFiresTheCallbackOnceWithoutActivated) {
    const SetIdxCase& c = GetParam();
    XFormatCombo combo;
    int calls = 0;
    combo.set_on_change_event_action([&] { ++calls; });
    QSignalSpy activated(&combo, QOverload<int>::of(&QComboBox::activated));
    combo.set_idx(c.idx);
    EXPECT_EQ(combo.currentIndex(), c.index_after);
    EXPECT_EQ(combo.currentText(), c.text_after);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(activated.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Indices, SetIdx,
                         ::testing::Values(SetIdxCase{2, 2, "mag"},  // another item
                                           SetIdxCase{0, 0, "real"}, // the current item
                                           SetIdxCase{7, -1, ""},    // past the end
                                           SetIdxCase{-1, -1, ""})); // no item

// An index is an int: no bool, floating-point, text or none slips through a conversion.
template <typename T, typename = void> struct TakesIdx : std::false_type {};
template <typename T>
struct TakesIdx<T, std::void_t<decltype(std::declval<FormatCombo&>().set_idx(std::declval<T>()))>>
    : std::true_type {};
static_assert(TakesIdx<int>::value && TakesIdx<long>::value && TakesIdx<unsigned char>::value);
static_assert(!TakesIdx<double>::value && !TakesIdx<float>::value && !TakesIdx<bool>::value);
static_assert(!TakesIdx<const char*>::value && !TakesIdx<std::nullptr_t>::value &&
              !TakesIdx<QString>::value);

TEST(FormatComboTest, SetIdxWithoutCallbackOnlyMovesTheIndex) {
    YFormatCombo combo;
    combo.set_idx(3);
    EXPECT_EQ(combo.currentText(), "imag");
}

TEST(FormatComboTest, ReChoosingTheCurrentItemInThePopupFiresTheCallback) {
    XFormatCombo combo;
    combo.set_idx(1);
    int calls = 0;
    combo.set_on_change_event_action([&] { ++calls; });
    combo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&combo));
    combo.showPopup();
    QTest::keyClick(combo.view(), Qt::Key_Return);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(combo.currentText(), "imag");
}

// ---------------------------------------------------------------------------
// Both widgets with one change callback: user changes arrive through the signal, program
// changes through the setter, and the two paths treat errors differently.
// ---------------------------------------------------------------------------

struct WidgetDriver {
    const char* name;
    std::function<std::unique_ptr<QWidget>()> make;
    std::function<void(QWidget*, std::function<void()>)> install;
    std::function<void(QWidget*)> user_change;    // a real key event
    std::function<void(QWidget*)> program_change; // the widget's own setter
    std::function<QString(QWidget*)> value;
    const char* signal_name; // as the warning names it
};

void PrintTo(const WidgetDriver& d, std::ostream* os) {
    *os << d.name;
}

const WidgetDriver kDrivers[] = {
    {"XFormatCombo", [] { return std::make_unique<XFormatCombo>(); },
     [](QWidget* w, std::function<void()> cb) {
         static_cast<FormatCombo*>(w)->set_on_change_event_action(std::move(cb));
     },
     [](QWidget* w) { QTest::keyClick(w, Qt::Key_Down); },
     [](QWidget* w) { static_cast<FormatCombo*>(w)->set_idx(3); },
     [](QWidget* w) { return static_cast<QComboBox*>(w)->currentText(); },
     "FormatCombo::activated"},
    {"LineEdit", [] { return std::make_unique<LineEdit>(); },
     [](QWidget* w, std::function<void()> cb) {
         static_cast<LineEdit*>(w)->set_on_change_event_action(std::move(cb));
     },
     [](QWidget* w) {
         QTest::keyClicks(w, "u,v");
         QTest::keyClick(w, Qt::Key_Return);
     },
     [](QWidget* w) { static_cast<LineEdit*>(w)->set_text("v,u"); },
     [](QWidget* w) { return static_cast<QLineEdit*>(w)->text(); }, "LineEdit::editingFinished"},
};

class ChangeCallback : public WarningLog, public ::testing::WithParamInterface<WidgetDriver> {};

TEST_P(ChangeCallback, UserAndProgramChangesBothRunItOnce) {
    const WidgetDriver& d = GetParam();
    auto w = d.make();
    int calls = 0;
    d.install(w.get(), [&] { ++calls; });
    const QString before = d.value(w.get());
    d.user_change(w.get());
    EXPECT_EQ(calls, 1);
    const QString after_user = d.value(w.get());
    EXPECT_NE(after_user, before);
    d.program_change(w.get());
    EXPECT_EQ(calls, 2);
    EXPECT_NE(d.value(w.get()), after_user);
    d.program_change(w.get()); // the value it already shows
    EXPECT_EQ(calls, 3);
}

TEST_P(ChangeCallback, ProgramChangeWithoutCallbackOnlyChangesTheValue) {
    const WidgetDriver& d = GetParam();
    auto w = d.make();
    const QString before = d.value(w.get());
    d.program_change(w.get());
    EXPECT_NE(d.value(w.get()), before);
    EXPECT_TRUE(warnings.isEmpty());
}

TEST_P(ChangeCallback, SecondInstallAddsAConnectionAndReplacesTheSetterCallback) {
    const WidgetDriver& d = GetParam();
    auto w = d.make();
    int first = 0, second = 0;
    d.install(w.get(), [&] { ++first; });
    d.install(w.get(), [&] { ++second; });
    d.user_change(w.get());
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    d.program_change(w.get());
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
}

TEST_P(ChangeCallback, ErrorFromSignalIsReportedErrorFromSetterPropagates) {
    const WidgetDriver& d = GetParam();
    auto w = d.make();
    d.install(w.get(), [] { throw std::runtime_error("boom"); });
    const QString before = d.value(w.get());
    d.user_change(w.get()); // must not unwind through Qt
    EXPECT_EQ(warnings, QStringList{QStringLiteral("%1: boom").arg(d.signal_name)});
    const QString after_user = d.value(w.get());
    EXPECT_NE(after_user, before);
    EXPECT_THROW(d.program_change(w.get()), std::runtime_error);
    EXPECT_NE(d.value(w.get()), after_user) << "the value changes before the callback runs";
    EXPECT_EQ(warnings.size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Widgets, ChangeCallback, ::testing::ValuesIn(kDrivers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineEditTest, TypingWithoutFinishingRunsNothing) {
    LineEdit field;
    int calls = 0;
    field.set_on_change_event_action([&] { ++calls; });
    QTest::keyClicks(&field, "time,volt");
    EXPECT_EQ(field.text(), "time,volt");
    EXPECT_EQ(calls, 0);
    QTest::keyClick(&field, Qt::Key_Enter);
    EXPECT_EQ(calls, 1);
}

TEST(LineEditTest, LosingTheFocusFinishesTheEdit) {
    QWidget window;
    auto* grid = new QGridLayout(&window);
    auto* field = new LineEdit();
    auto* other = new QLineEdit();
    grid->addWidget(field, 0, 0);
    grid->addWidget(other, 0, 1);
    int calls = 0;
    field->set_on_change_event_action([&] { ++calls; });
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    QTest::keyClicks(field, "u");
    EXPECT_EQ(calls, 0);
    other->setFocus();
    EXPECT_EQ(calls, 1);
}

// ---------------------------------------------------------------------------
// SelectionBundle
// ---------------------------------------------------------------------------

QList<QWidget*> controls(const SelectionBundle& b) {
    return {b.stx, b.fx, b.fy, b.lx, b.ly, b.linkx, b.linky};
}

TEST(SelectionBundleTest, NewBundleHoldsUnwiredDefaultControlsWithoutParent) {
    SelectionBundle b;
    EXPECT_EQ(b.stx->text(), "");
    EXPECT_EQ(b.fx->currentText(), "real");
    EXPECT_EQ(b.fy->currentText(), "mag");
    const std::pair<QCheckBox*, const char*> boxes[] = {
        {b.lx, "logX"}, {b.ly, "logY"}, {b.linkx, "ShareX"}, {b.linky, "ShareY"}};
    for (const auto& [box, text] : boxes) {
        EXPECT_EQ(box->text(), text);
        EXPECT_FALSE(box->isChecked()) << text;
        EXPECT_FALSE(box->isTristate()) << text;
    }
    EXPECT_TRUE(b.sels.isEmpty());
    EXPECT_FALSE(b.stx->on_change_callable);
    EXPECT_FALSE(b.fx->on_change_callable);
    for (QWidget* w : controls(b))
        EXPECT_EQ(w->parentWidget(), nullptr);
}

// A bundle laid out in a shown window, its three callbacks counted.
class LaidOutBundle : public ::testing::Test {
protected:
    void SetUp() override {
        grid = new QGridLayout(&window);
        bundle = std::make_unique<SelectionBundle>();
        bundle->set_on_change_event_actions([this] { ++text; }, [this] { ++format; },
                                            [this] { ++share; });
        bundle->a2l(grid);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    QWidget window;
    QGridLayout* grid = nullptr;
    std::unique_ptr<SelectionBundle> bundle;
    int text = 0, format = 0, share = 0;
};

TEST_F(LaidOutBundle, FillsColumnsThreeFiveSevenAndTenToThirteenOfRowZero) {
    EXPECT_EQ(grid->count(), 7);
    const std::pair<int, QWidget*> cells[] = {
        {3, bundle->stx}, {5, bundle->fx},     {7, bundle->fy},    {10, bundle->lx},
        {11, bundle->ly}, {12, bundle->linkx}, {13, bundle->linky}};
    for (const auto& [column, widget] : cells) {
        QLayoutItem* item = grid->itemAtPosition(0, column);
        ASSERT_NE(item, nullptr) << column;
        EXPECT_EQ(item->widget(), widget) << column;
        int row, col, rows, cols;
        grid->getItemPosition(grid->indexOf(widget), &row, &col, &rows, &cols);
        EXPECT_EQ(rows, 1);
        EXPECT_EQ(cols, 1);
        EXPECT_EQ(widget->parentWidget(), &window);
    }
    for (int column : {0, 1, 2, 4, 6, 8, 9})
        EXPECT_EQ(grid->itemAtPosition(0, column), nullptr) << column;
}

struct Gesture {
    const char* name;
    std::function<void(SelectionBundle&)> act;
    int text, format, share; // callback runs expected
};

void PrintTo(const Gesture& g, std::ostream* os) {
    *os << g.name;
}

void click(QAbstractButton* b) {
    QTest::mouseClick(b, Qt::LeftButton);
}

const Gesture kGestures[] = {
    {"ReturnInPattern",
     [](SelectionBundle& b) {
         QTest::keyClicks(b.stx, "u,v");
         QTest::keyClick(b.stx, Qt::Key_Return);
     },
     1, 0, 0},
    {"KeyDownInX", [](SelectionBundle& b) { QTest::keyClick(b.fx, Qt::Key_Down); }, 0, 1, 0},
    {"KeyDownInY", [](SelectionBundle& b) { QTest::keyClick(b.fy, Qt::Key_Down); }, 0, 1, 0},
    {"ClickLogX", [](SelectionBundle& b) { click(b.lx); }, 0, 1, 0},
    {"ClickLogY", [](SelectionBundle& b) { click(b.ly); }, 0, 1, 0},
    {"ClickShareX", [](SelectionBundle& b) { click(b.linkx); }, 0, 0, 1},
    {"ClickShareY", [](SelectionBundle& b) { click(b.linky); }, 0, 0, 1},
    {"ClickShareYTwice",
     [](SelectionBundle& b) {
         click(b.linky);
         click(b.linky);
     },
     0, 0, 2},
    {"SetTextAndSetIdx",
     [](SelectionBundle& b) {
         b.stx->set_text("w");
         b.fy->set_idx(2);
     },
     1, 1, 0},
};

class BundleWiring : public LaidOutBundle, public ::testing::WithParamInterface<Gesture> {};

TEST_P(BundleWiring, RunsTheCallbackOfItsGroup) {
    const Gesture& g = GetParam();
    g.act(*bundle);
    EXPECT_EQ(text, g.text);
    EXPECT_EQ(format, g.format);
    EXPECT_EQ(share, g.share);
}

INSTANTIATE_TEST_SUITE_P(Gestures, BundleWiring, ::testing::ValuesIn(kGestures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LaidOutBundle, TakenOutAndPutBackKeepsStateAndWiring) {
    QTest::keyClicks(bundle->stx, "time,.*");
    bundle->fx->set_idx(3);
    click(bundle->ly);
    click(bundle->linkx);
    text = format = share = 0;

    bundle->rm4l();
    EXPECT_EQ(grid->count(), 0);
    for (QWidget* w : controls(*bundle)) {
        EXPECT_EQ(w->parentWidget(), nullptr);
        EXPECT_FALSE(w->isVisible());
    }
    EXPECT_EQ(text + format + share, 0) << "taking controls out is no edit of theirs";

    bundle->a2l(grid);
    EXPECT_EQ(grid->count(), 7);
    EXPECT_EQ(bundle->stx->text(), "time,.*");
    EXPECT_EQ(bundle->fx->currentText(), "phase");
    EXPECT_EQ(bundle->fy->currentText(), "mag");
    EXPECT_FALSE(bundle->lx->isChecked());
    EXPECT_TRUE(bundle->ly->isChecked());
    EXPECT_TRUE(bundle->linkx->isChecked());
    EXPECT_FALSE(bundle->linky->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([this] { return bundle->linky->isVisible(); }));

    QTest::keyClick(bundle->stx, Qt::Key_Return);
    click(bundle->lx);
    click(bundle->linky);
    EXPECT_EQ(text, 1);
    EXPECT_EQ(format, 1);
    EXPECT_EQ(share, 1);
}

TEST_F(LaidOutBundle, TakenOutControlsNeverOpenAsWindowsOfTheirOwn) {
    // Out, in and out again before the event loop runs: the show Qt queues for a control
    // entering a visible row must not reach it once it has no parent.
    bundle->rm4l();
    bundle->a2l(grid);
    bundle->rm4l();
    QCoreApplication::processEvents();
    for (QWidget* w : controls(*bundle))
        EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(QApplication::topLevelWidgets().contains(bundle->stx));
    for (QWidget* top : QApplication::topLevelWidgets())
        EXPECT_TRUE(top == &window || !top->isVisible()) << top->metaObject()->className();
}

TEST_F(LaidOutBundle, ControlHiddenByTheHostStaysHiddenAcrossASwap) {
    bundle->linky->hide();
    bundle->rm4l();
    bundle->a2l(grid);
    QCoreApplication::processEvents();
    EXPECT_FALSE(bundle->linky->isVisible());
    EXPECT_TRUE(bundle->linkx->isVisible());
}

TEST(SelectionBundleTest, LayoutWithoutWidgetOpensNoWindows) {
    SelectionBundle b;
    QGridLayout loose; // not installed on any widget
    b.a2l(&loose);
    QCoreApplication::processEvents();
    EXPECT_EQ(loose.count(), 7);
    for (QWidget* w : controls(b))
        EXPECT_FALSE(w->isVisible());
    b.rm4l();
}

TEST(SelectionBundleTest, TakingOutABundleNeverLaidOutChangesNothing) {
    SelectionBundle b;
    b.stx->set_text("u,v");
    b.rm4l();
    EXPECT_EQ(b.stx->text(), "u,v");
    for (QWidget* w : controls(b)) {
        EXPECT_EQ(w->parentWidget(), nullptr);
        EXPECT_FALSE(w->isVisible());
    }
}

// Ownership: the controls die with the bundle whether they sit in a window or not, and
// the window that held them neither loses itself nor deletes them a second time.
TEST(SelectionBundleTest, DestroyedWhileLaidOutLeavesTheWindowIntact) {
    QWidget window;
    auto* grid = new QGridLayout(&window);
    auto* own = new QLabel("own", &window);
    grid->addWidget(own, 0, 0);
    QList<QPointer<QWidget>> watched;
    {
        SelectionBundle b;
        b.a2l(grid);
        for (QWidget* w : controls(b))
            watched << w;
        EXPECT_EQ(grid->count(), 8);
    }
    for (const QPointer<QWidget>& w : watched)
        EXPECT_TRUE(w.isNull());
    EXPECT_EQ(grid->count(), 1);
    EXPECT_EQ(window.findChildren<QWidget*>(), QList<QWidget*>{own});
}

TEST(SelectionBundleTest, DestroyedWhileTakenOutDeletesItsControls) {
    QWidget window;
    auto* grid = new QGridLayout(&window);
    QList<QPointer<QWidget>> watched;
    {
        SelectionBundle b;
        b.a2l(grid);
        b.rm4l();
        for (QWidget* w : controls(b))
            watched << w;
    }
    for (const QPointer<QWidget>& w : watched)
        EXPECT_TRUE(w.isNull());
}

} // namespace
