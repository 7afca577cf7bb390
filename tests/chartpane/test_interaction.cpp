// PlotWidget keyboard and mouse handling, driven by real Qt events.
#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/config.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "../support/qt_printers.h"

namespace lf = tellurix::lumenfold;
using lf::chartpane::PlotWidget;
using lf::host::Value;

namespace {

// Records what would have gone to the system clipboard; can be told to fail.
class RecordingClipboard final : public lf::host::Clipboard {
public:
    std::vector<Value> copies;
    bool fail = false;
    void copy(const Value& value) override {
        if (fail)
            throw std::runtime_error("clipboard is busy");
        copies.push_back(value);
    }
};

// The window the plot sits in. Events the plot widget leaves ignored travel on to this
// parent, which is how the base handlers' default key handling becomes visible.
class HostWindow final : public QWidget {
public:
    std::vector<std::pair<QEvent::Type, QString>> keys;
    int mouse_events = 0;

protected:
    void keyPressEvent(QKeyEvent* e) override { keys.emplace_back(e->type(), e->text()); }
    void keyReleaseEvent(QKeyEvent* e) override { keys.emplace_back(e->type(), e->text()); }
    void mousePressEvent(QMouseEvent*) override { ++mouse_events; }
    void mouseReleaseEvent(QMouseEvent*) override { ++mouse_events; }
};

// Data X values the drag tests aim at, a power-of-two pixel scale apart.
constexpr double kFrom = 1.5;
constexpr double kTo = 4.25;
constexpr double kUnitsPerPixel = 1.0 / 64; // (kTo - kFrom) is exactly 176 pixels

class PlotInteraction : public ::testing::Test {
protected:
    void SetUp() override {
        saved_clipboard = lf::host::clipboard();
        saved_has = lf::chartpane::hasCliper;
        lf::host::set_clipboard(&clip);
        lf::chartpane::hasCliper = true;
        saved_handler =
            lf::host::set_warning_handler([this](const QString& t) { warnings.push_back(t); });

        window.resize(720, 480);
        auto* layout = new QVBoxLayout(&window);
        w = new PlotWidget();
        layout->addWidget(w);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

        data_x = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        data_y = {0, 1, 4, 9, 16, 25, 36, 49, 64, 81, 100};
        w->set_data(lf::config::ridx.front(), data_x, data_y);
        ASSERT_NO_FATAL_FAILURE(use_exact_scale());
    }

    void TearDown() override {
        lf::host::set_clipboard(saved_clipboard);
        lf::chartpane::hasCliper = saved_has;
        lf::host::set_warning_handler(saved_handler);
    }

    lf::plotting::ViewBox* vb() { return w->plotItem()->vb(); }

    // Shows an X range in which one pixel column is exactly kUnitsPerPixel wide and kFrom
    // falls on a whole column, so that kFrom and kTo are hit exactly by integer positions.
    void use_exact_scale() {
        const double ylo = -200, yhi = 200;
        double xmin = -1, span = 12;
        for (int round = 0; round < 4; ++round) {
            vb()->setRange(QRectF(QPointF(xmin, ylo), QPointF(xmin + span, yhi)));
            const double left = vb()->mapViewToScene({xmin, 0}).x();
            const double right = vb()->mapViewToScene({xmin + span, 0}).x();
            from_col = static_cast<int>(std::ceil(left + (right - left) / 8));
            span = (right - left) * kUnitsPerPixel;
            xmin = kFrom - (from_col - left) * kUnitsPerPixel;
        }
        row = static_cast<int>(vb()->mapViewToScene({0, 0}).y());
        ASSERT_EQ(vb()->mapSceneToView(at(kFrom)).x(), kFrom);
        ASSERT_EQ(vb()->mapSceneToView(at(kTo)).x(), kTo);
        ASSERT_LT(at(kTo).x(), vb()->mapViewToScene(vb()->viewRange().bottomRight()).x());
        exact_range = vb()->viewRange();
    }

    // The widget position of data X value `x` (kFrom or kTo) on the middle row.
    QPoint at(double x) const {
        return {from_col + static_cast<int>(std::lround((x - kFrom) / kUnitsPerPixel)), row};
    }

    void middle_press(double x) { QTest::mousePress(w, Qt::MiddleButton, {}, at(x)); }
    void middle_release(double x) { QTest::mouseRelease(w, Qt::MiddleButton, {}, at(x)); }

    // A button drag with a move in between, as the user makes it.
    void drag(Qt::MouseButton button, double from, double to) {
        QTest::mousePress(w, button, {}, at(from));
        const QPoint mid = (at(from) + at(to)) / 2;
        QMouseEvent move(QEvent::MouseMove, mid, w->mapToGlobal(mid), Qt::NoButton, button,
                         Qt::NoModifier);
        QApplication::sendEvent(w, &move);
        QTest::mouseRelease(w, button, {}, at(to));
    }

    RecordingClipboard clip;
    std::vector<QString> warnings;
    HostWindow window;
    PlotWidget* w = nullptr;
    QVector<double> data_x, data_y;
    int from_col = 0, row = 0;
    QRectF exact_range;

private:
    lf::host::Clipboard* saved_clipboard = nullptr;
    bool saved_has = false;
    lf::host::WarningHandler saved_handler;
};

// The data's bounding box lies inside the view, and the view is not much larger.
void expect_fitted(const QRectF& view, const QVector<double>& x, const QVector<double>& y) {
    const double xlo = *std::min_element(x.begin(), x.end());
    const double xhi = *std::max_element(x.begin(), x.end());
    const double ylo = *std::min_element(y.begin(), y.end());
    const double yhi = *std::max_element(y.begin(), y.end());
    EXPECT_LE(view.left(), xlo);
    EXPECT_GE(view.right(), xhi);
    EXPECT_LE(view.top(), ylo);
    EXPECT_GE(view.bottom(), yhi);
    EXPECT_LT(view.width(), 1.25 * (xhi - xlo));
    EXPECT_LT(view.height(), 1.25 * (yhi - ylo));
}

const QRectF kAway(500, 500, 3, 2);

} // namespace

// ---------------------------------------------------------------------------
// Keys
// ---------------------------------------------------------------------------

class FitKey : public PlotInteraction, public ::testing::WithParamInterface<char> {};

TEST_P(FitKey, FitsOnPressAndAgainOnReleaseAndPassesBothOn) {
    const char key = GetParam();
    vb()->setRange(kAway);
    QTest::keyPress(w, key);
    expect_fitted(vb()->viewRange(), data_x, data_y);

    vb()->setRange(kAway);
    QTest::keyRelease(w, key);
    expect_fitted(vb()->viewRange(), data_x, data_y);

    const QString text(QChar::fromLatin1(key));
    const std::vector<std::pair<QEvent::Type, QString>> reached = {{QEvent::KeyPress, text},
                                                                   {QEvent::KeyRelease, text}};
    EXPECT_EQ(window.keys, reached);
    EXPECT_FALSE(w->range_select);
    EXPECT_TRUE(warnings.empty());
}

INSTANTIATE_TEST_SUITE_P(BothCases, FitKey, ::testing::Values('f', 'F'));

class PanKey : public PlotInteraction, public ::testing::WithParamInterface<char> {};

TEST_P(PanKey, FollowsTheNewestPointOnPressAndAgainOnRelease) {
    const char key = GetParam();
    const double newest = data_x.last();
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        SCOPED_TRACE(type);
        vb()->setRange(kAway);
        if (type == QEvent::KeyPress)
            QTest::keyPress(w, key);
        else
            QTest::keyRelease(w, key);
        const QRectF view = vb()->viewRange();
        EXPECT_DOUBLE_EQ(view.right(), newest);
        EXPECT_DOUBLE_EQ(view.width(), kAway.width()) << "the span is kept";
        EXPECT_EQ(view.top(), kAway.top()) << "Y is left alone";
    }
    EXPECT_EQ(window.keys.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(BothCases, PanKey, ::testing::Values('a', 'A'));

TEST_F(PlotInteraction, RangeModeLastsWhileRIsHeld) {
    for (char key : {'r', 'R'}) {
        SCOPED_TRACE(key);
        QTest::keyPress(w, key);
        EXPECT_TRUE(w->range_select);
        // Auto-repeat delivers more presses; another key's release does not end the mode.
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_R, Qt::NoModifier,
                         QString(QChar::fromLatin1(key)), true);
        QApplication::sendEvent(w, &repeat);
        QTest::keyClick(w, 'x');
        EXPECT_TRUE(w->range_select);
        QTest::keyRelease(w, key);
        EXPECT_FALSE(w->range_select);
    }
    EXPECT_EQ(vb()->viewRange(), exact_range);
    EXPECT_EQ(window.keys.size(), 10u) << "every R event also went on";
}

// The text a key produces decides, not its key code.
struct KeyCase {
    const char* name;
    Qt::Key code;
    const char* text;
    bool fits;
    bool range_mode;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
    *os << c.name;
}

class KeyText : public PlotInteraction, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyText, OnlyTheExactTextActsAndEveryEventGoesOn) {
    const KeyCase& c = GetParam();
    w->range_select = false;
    QTest::sendKeyEvent(QTest::Press, w, c.code, QString::fromLatin1(c.text), Qt::NoModifier);
    EXPECT_EQ(w->range_select, c.range_mode);
    if (c.fits)
        expect_fitted(vb()->viewRange(), data_x, data_y);
    else
        EXPECT_EQ(vb()->viewRange(), exact_range);
    QTest::sendKeyEvent(QTest::Release, w, c.code, QString::fromLatin1(c.text), Qt::NoModifier);
    EXPECT_FALSE(w->range_select);

    const std::vector<std::pair<QEvent::Type, QString>> reached = {
        {QEvent::KeyPress, QString::fromLatin1(c.text)},
        {QEvent::KeyRelease, QString::fromLatin1(c.text)}};
    EXPECT_EQ(window.keys, reached);
    EXPECT_TRUE(clip.copies.empty());
    EXPECT_EQ(w->clippos1, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyText,
    ::testing::Values(KeyCase{"letter", Qt::Key_X, "x", false, false},
                      KeyCase{"digit", Qt::Key_1, "1", false, false},
                      KeyCase{"space", Qt::Key_Space, " ", false, false},
                      KeyCase{"escape", Qt::Key_Escape, "", false, false},
                      KeyCase{"function_key", Qt::Key_F1, "", false, false},
                      KeyCase{"f_code_other_text", Qt::Key_F, "g", false, false},
                      KeyCase{"f_code_no_text", Qt::Key_F, "", false, false},
                      KeyCase{"f_twice", Qt::Key_F, "ff", false, false},
                      KeyCase{"other_code_f_text", Qt::Key_Q, "f", true, false},
                      KeyCase{"other_code_r_text", Qt::Key_Q, "R", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Middle button measuring
// ---------------------------------------------------------------------------

struct DragCase {
    const char* name;
    char range_key; // 0: no key held
    double from, to;
    Value copied;
};

void PrintTo(const DragCase& c, std::ostream* os) {
    *os << c.name;
}

class MiddleDrag : public PlotInteraction, public ::testing::WithParamInterface<DragCase> {};

TEST_P(MiddleDrag, CopiesTheReleasePositionOrBothWithR) {
    const DragCase& c = GetParam();
    if (c.range_key)
        QTest::keyPress(w, c.range_key);
    middle_press(c.from);
    EXPECT_EQ(w->clippos1, c.from);
    EXPECT_TRUE(clip.copies.empty()) << "nothing is copied on press";
    middle_release(c.to);
    if (c.range_key)
        QTest::keyRelease(w, c.range_key);

    ASSERT_EQ(clip.copies.size(), 1u);
    EXPECT_EQ(clip.copies.front(), c.copied);
    EXPECT_EQ(w->clippos1, c.from);
    EXPECT_EQ(w->clippos2, c.to);
    EXPECT_EQ(vb()->viewRange(), exact_range) << "the middle button never pans or zooms";
    EXPECT_EQ(window.mouse_events, 0);
    EXPECT_TRUE(warnings.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Drags, MiddleDrag,
    ::testing::Values(DragCase{"range_lower_r", 'r', kFrom, kTo, Value("1.5,4.25")},
                      DragCase{"range_upper_r", 'R', kFrom, kTo, Value("1.5,4.25")},
                      DragCase{"range_right_to_left", 'R', kTo, kFrom, Value("4.25,1.5")},
                      DragCase{"range_click_in_place", 'r', kTo, kTo, Value("4.25,4.25")},
                      DragCase{"single", 0, kFrom, kTo, Value(kTo)},
                      DragCase{"single_right_to_left", 0, kTo, kFrom, Value(kFrom)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlotInteraction, RangeModeIsReadAtRelease) {
    QTest::keyPress(w, 'r');
    middle_press(kFrom);
    QTest::keyRelease(w, 'r');
    middle_release(kTo);

    QTest::keyPress(w, 'R');
    middle_release(kFrom);
    QTest::keyRelease(w, 'R');

    const std::vector<Value> want = {Value(kTo), Value("1.5,1.5")};
    EXPECT_EQ(clip.copies, want) << "the press position of the earlier click is kept";
}

TEST_F(PlotInteraction, ReleaseWithoutAnyPressStartsTheRangeAtZero) {
    QTest::keyPress(w, 'r');
    middle_release(kTo);
    QTest::keyRelease(w, 'r');
    ASSERT_EQ(clip.copies.size(), 1u);
    EXPECT_EQ(clip.copies.front(), Value("0,4.25"));
    EXPECT_EQ(w->clippos1, 0.0);
}

TEST_F(PlotInteraction, EventsOnTheCanvasAreMeasuredOnce) {
    QWidget* canvas = w->canvas();
    const QPoint offset = canvas->pos();
    QTest::keyPress(w, 'r');
    QTest::mousePress(canvas, Qt::MiddleButton, {}, at(kFrom) - offset);
    QTest::mouseRelease(canvas, Qt::MiddleButton, {}, at(kTo) - offset);
    QTest::keyRelease(w, 'r');
    const std::vector<Value> want = {Value("1.5,4.25")};
    EXPECT_EQ(clip.copies, want);
    EXPECT_EQ(window.mouse_events, 0);
}

// ---------------------------------------------------------------------------
// Other buttons
// ---------------------------------------------------------------------------

TEST_F(PlotInteraction, LeftDragPansAndLeavesTheMeasurementsAlone) {
    middle_press(kFrom);
    middle_release(kTo);
    clip.copies.clear();

    drag(Qt::LeftButton, kFrom, kTo);
    const QRectF view = vb()->viewRange();
    EXPECT_NEAR(view.left(), exact_range.left() - (kTo - kFrom), 1e-9);
    EXPECT_NEAR(view.width(), exact_range.width(), 1e-9);
    EXPECT_EQ(w->clippos1, kFrom);
    EXPECT_EQ(w->clippos2, kTo);
    EXPECT_TRUE(clip.copies.empty());
}

TEST_F(PlotInteraction, RightDragZoomsInOrOutByDirection) {
    QTest::keyPress(w, 'r'); // range mode has no say over other buttons
    drag(Qt::RightButton, kFrom, kTo);
    const double zoomed_in = vb()->viewRange().width();
    EXPECT_LT(zoomed_in, exact_range.width());

    drag(Qt::RightButton, kTo, kFrom);
    EXPECT_GT(vb()->viewRange().width(), zoomed_in);
    QTest::keyRelease(w, 'r');

    EXPECT_EQ(w->clippos1, 0.0);
    EXPECT_EQ(w->clippos2, 0.0);
    EXPECT_TRUE(clip.copies.empty());
}

// ---------------------------------------------------------------------------
// Extreme data: the fitted view measures, pans, zooms and fits again
// ---------------------------------------------------------------------------

struct ExtremeCase {
    const char* name;
    QVector<double> x, y;
};

void PrintTo(const ExtremeCase& c, std::ostream* os) {
    *os << c.name;
}

class ExtremeData : public PlotInteraction, public ::testing::WithParamInterface<ExtremeCase> {
protected:
    void wheel(QPoint where, int delta) {
        // The canvas is the child under the cursor, so a real wheel event goes to it.
        const QPoint local = w->canvas()->mapFrom(w, where);
        QWheelEvent e(local, w->canvas()->mapToGlobal(local), QPoint(), QPoint(0, delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(w->canvas(), &e);
    }

    static void expect_finite(const QRectF& r) {
        for (const double v : {r.left(), r.right(), r.top(), r.bottom(), r.width(), r.height()})
            EXPECT_TRUE(std::isfinite(v)) << testing::PrintToString(r);
        EXPECT_GT(r.width(), 0.0);
        EXPECT_GT(r.height(), 0.0);
    }
};

TEST_P(ExtremeData, FittedViewMeasuresPansZoomsAndFitsAgain) {
    const ExtremeCase& c = GetParam();
    w->set_data(lf::config::ridx.front(), c.x, c.y);
    w->enable_auto_range();
    const QRectF fit = vb()->viewRange();
    ASSERT_NO_FATAL_FAILURE(expect_finite(fit));

    // The middle of the canvas measures a value in the middle of the view.
    const QPoint middle = w->canvas()->geometry().center();
    QTest::mouseClick(w, Qt::MiddleButton, {}, middle);
    ASSERT_EQ(clip.copies.size(), 1u);
    const double copied = clip.copies.front().as_float();
    EXPECT_NEAR(copied, fit.center().x(), fit.width() / 4) << copied;

    // Dragging to the right shows smaller values, at the same span.
    QTest::mousePress(w, Qt::LeftButton, {}, middle);
    QTest::mouseMove(w, middle + QPoint(50, 0));
    QTest::mouseMove(w, middle + QPoint(100, 0));
    QTest::mouseRelease(w, Qt::LeftButton, {}, middle + QPoint(100, 0));
    const QRectF panned = vb()->viewRange();
    expect_finite(panned);
    EXPECT_LT(panned.left(), fit.left());
    EXPECT_NEAR(panned.width(), fit.width(), fit.width() * 1e-3);
    EXPECT_FALSE(vb()->autoRangeEnabled());

    // The wheel zooms in, then out.
    wheel(middle, 120);
    const QRectF in = vb()->viewRange();
    expect_finite(in);
    EXPECT_LT(in.width(), panned.width());
    wheel(middle, -240);
    expect_finite(vb()->viewRange());
    EXPECT_GT(vb()->viewRange().width(), in.width());

    // F fits the data again.
    QTest::keyClick(w, 'f');
    EXPECT_EQ(vb()->viewRange(), fit);
    EXPECT_TRUE(warnings.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Data, ExtremeData,
    ::testing::Values(ExtremeCase{"one_timestamp", {1.7e18}, {1.0}},
                      ExtremeCase{"equal_timestamps", {1.7e18, 1.7e18, 1.7e18}, {1, 2, 3}},
                      ExtremeCase{"whole_double_range", {-1e308, 1e308}, {0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Without a clipboard facility
// ---------------------------------------------------------------------------

class NoClipboard : public PlotInteraction, public ::testing::WithParamInterface<bool> {};

// true: the flag says no facility; false: the flag says yes but none is installed.
TEST_P(NoClipboard, MiddleButtonDoesNothingAtAllAndKeysStillWork) {
    if (GetParam())
        lf::chartpane::hasCliper = false;
    else
        lf::host::set_clipboard(nullptr);

    QTest::keyPress(w, 'r');
    middle_press(kFrom);
    middle_release(kTo);
    QTest::keyRelease(w, 'r');
    middle_press(kTo);
    middle_release(kFrom);

    EXPECT_EQ(w->clippos1, 0.0);
    EXPECT_EQ(w->clippos2, 0.0);
    EXPECT_TRUE(clip.copies.empty());
    EXPECT_EQ(vb()->viewRange(), exact_range);
    EXPECT_EQ(window.mouse_events, 0) << "the events are not passed on";
    EXPECT_TRUE(warnings.empty());

    QTest::keyClick(w, 'f');
    expect_fitted(vb()->viewRange(), data_x, data_y);
}

INSTANTIATE_TEST_SUITE_P(FlagOrFacility, NoClipboard, ::testing::Bool());

// ---------------------------------------------------------------------------
// Failures inside the handlers
// ---------------------------------------------------------------------------

TEST_F(PlotInteraction, FailingClipboardGivesOneWarningAndTheWidgetGoesOn) {
    clip.fail = true;
    QTest::keyPress(w, 'r');
    middle_press(kFrom);
    middle_release(kTo);

    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings.front().startsWith("PlotWidget::mouseReleaseEvent: "))
        << warnings.front().toStdString();
    EXPECT_TRUE(warnings.front().contains("clipboard is busy")) << warnings.front().toStdString();
    EXPECT_EQ(w->clippos1, kFrom);
    EXPECT_EQ(w->clippos2, kTo) << "the fields keep the values they had reached";
    EXPECT_TRUE(w->range_select);

    clip.fail = false;
    middle_press(kTo);
    middle_release(kFrom);
    QTest::keyRelease(w, 'r');
    const std::vector<Value> want = {Value("4.25,1.5")};
    EXPECT_EQ(clip.copies, want);
    QTest::keyClick(w, 'F');
    expect_fitted(vb()->viewRange(), data_x, data_y);
    EXPECT_EQ(warnings.size(), 1u);
}

// ---------------------------------------------------------------------------
// Host calls
// ---------------------------------------------------------------------------

TEST_F(PlotInteraction, AutoRangeFitsOnceEnableAutoRangeKeepsFitting) {
    const int key = lf::config::ridx.front();
    w->auto_range();
    expect_fitted(vb()->viewRange(), data_x, data_y);
    const QRectF once = vb()->viewRange();
    w->set_data(key, {0, 20}, {0, 400});
    EXPECT_EQ(vb()->viewRange(), once) << "auto_range does not follow later data";

    w->enable_auto_range();
    expect_fitted(vb()->viewRange(), {0, 20}, {0, 400});
    w->set_data(key, {-30, 5}, {-1, 2});
    expect_fitted(vb()->viewRange(), {-30, 5}, {-1, 2});
}
