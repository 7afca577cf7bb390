// The value under the cursor, through real mouse moves: which drawn point is nearest (in
// pixels, on log axes, past gaps and points out of view, among overlapping curves), the
// marker on it and the readout in the window's status bar.
#include "../support/qt_printers.h"
#include "feed_queue.h"

#include <tellurix/lumenfold/scope/cursor_readout.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/toolbar.h>

#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QLabel>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace tellurix::lumenfold;
using scope::CursorReadout;
using scope_test::item;
using Value = host::Value;

namespace {

constexpr double no_value = std::numeric_limits<double>::quiet_NaN();
constexpr double infinite = std::numeric_limits<double>::infinity();

// The mouse moves to `at` (in `widget`'s coordinates) with no button held, as the window
// system delivers it: to the widget under the pointer, with enter and leave events.
void hover(QWidget* widget, QPoint at) {
    QWidget* top = widget->window();
    QTest::mouseMove(top->windowHandle(), widget->mapTo(top, at));
}

QPoint pixel_of(chartpane::PlotWidget* plot, QPointF data) {
    return plot->plotItem()->vb()->mapViewToScene(data).toPoint();
}

QPoint marker_centre(const CursorReadout* readout) {
    return readout->marker_at();
}

struct CurveData {
    int key;
    std::vector<double> x, y;
};

struct NearestCase {
    const char* name;
    std::vector<CurveData> curves;
    bool log_x, log_y;
    QRectF view;
    QPointF cursor; // data coordinates
    int key, point; // the point expected
};

void PrintTo(const NearestCase& c, std::ostream* os) {
    *os << c.name;
}

const QRectF unit_view(0, 0, 10, 10);

} // namespace

class NearestPoint : public ::testing::TestWithParam<NearestCase> {};

TEST_P(NearestPoint, HoveringMarksTheNearestDrawnPointAndNamesIt) {
    const NearestCase& c = GetParam();
    chartpane::PlotWidget plot;
    auto* readout = new CursorReadout(&plot, [](int key) {
        return CursorReadout::Names{QStringLiteral("k%1").arg(key), QStringLiteral("real"),
                                    QStringLiteral("real")};
    });
    plot.resize(480, 360);
    plot.setLogMode(c.log_x, c.log_y);
    for (const CurveData& curve : c.curves)
        plot.set_data(curve.key, QVector<double>(curve.x.begin(), curve.x.end()),
                      QVector<double>(curve.y.begin(), curve.y.end()));
    plot.plotItem()->vb()->setRange(c.view);
    plot.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&plot));

    hover(&plot, pixel_of(&plot, c.cursor));
    EVENTUALLY(!readout->text().isEmpty());
    EXPECT_TRUE(readout->text().startsWith(QStringLiteral("k%1: x = ").arg(c.key)))
        << readout->text().toStdString();
    EXPECT_TRUE(readout->tooltip().contains(QStringLiteral("point %1 of").arg(c.point)))
        << readout->tooltip().toStdString();

    const CurveData* expected = nullptr;
    for (const CurveData& curve : c.curves)
        if (curve.key == c.key)
            expected = &curve;
    ASSERT_NE(expected, nullptr);
    const QPointF point(expected->x[static_cast<std::size_t>(c.point)],
                        expected->y[static_cast<std::size_t>(c.point)]);
    EXPECT_TRUE(readout->marker_shown());
    const QPoint want = plot.canvas()->mapFrom(&plot, pixel_of(&plot, point));
    EXPECT_LE((marker_centre(readout) - want).manhattanLength(), 1)
        << "marker at " << marker_centre(readout).x() << "," << marker_centre(readout).y()
        << ", point drawn at " << want.x() << "," << want.y();
}

std::vector<NearestCase> nearest_cases() {
    return {
        NearestCase{
            "one curve", {{0, {1, 5, 9}, {1, 5, 9}}}, false, false, unit_view, {5.3, 5.2}, 0, 1},
        // A NaN or infinite coordinate is a gap in the line, not a point.
        NearestCase{
            "NaN gap", {{0, {2, 5, 6}, {5, no_value, 5}}}, false, false, unit_view, {5, 5}, 0, 2},
        NearestCase{"infinite X",
                    {{0, {2, infinite, 6.5}, {5, 5, 5}}},
                    false,
                    false,
                    unit_view,
                    {9.5, 5},
                    0,
                    2},
        // Beyond the view nothing is drawn, however near in data.
        NearestCase{
            "out of view", {{0, {7, 10.2}, {5, 5}}}, false, false, unit_view, {9.8, 5}, 0, 0},
        // Near in pixels, not in data units: X spans 10, Y spans 1000.
        NearestCase{"pixels not data units",
                    {{0, {5.8, 5}, {500, 560}}},
                    false,
                    false,
                    QRectF(0, 0, 10, 1000),
                    {5, 500},
                    0,
                    1},
        // 40 lies nearer to 10 in value but nearer to 100 on a log axis; 0 is not drawn.
        NearestCase{"log Y",
                    {{0, {5, 5, 5.1}, {10, 100, 0}}},
                    false,
                    true,
                    QRectF(1, 1, 9, 999),
                    {5, 40},
                    0,
                    1},
        NearestCase{"log X",
                    {{0, {10, 100, -1}, {5, 5, 5.1}}},
                    true,
                    false,
                    QRectF(1, 0, 999, 10),
                    {40, 5},
                    0,
                    1},
        // Curves drawn on one spot: the one drawn last (the newest, key 0) is the one seen.
        NearestCase{"overlapping curves",
                    {{3, {5}, {5}}, {0, {5}, {5}}, {1, {5}, {5}}},
                    false,
                    false,
                    unit_view,
                    {5.2, 5.1},
                    0,
                    0},
        // Among curves the nearest point wins, whatever its curve's age.
        NearestCase{"several curves",
                    {{0, {5, 1}, {6, 1}}, {2, {5, 9}, {5.3, 9}}, {5, {4, 1}, {4, 9}}},
                    false,
                    false,
                    unit_view,
                    {5, 5},
                    2,
                    0}};
}

INSTANTIATE_TEST_SUITE_P(Cases, NearestPoint, ::testing::ValuesIn(nearest_cases()),
                         [](const ::testing::TestParamInfo<NearestCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

TEST(CursorReadout, NoPointNoReadoutAndTheMarkerGoesWhenTheCursorLeaves) {
    chartpane::PlotWidget plot;
    auto* readout = new CursorReadout(&plot, {});
    plot.resize(400, 300);
    plot.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&plot));
    const QPoint centre = plot.canvas()->geometry().center();
    hover(&plot, centre);
    QTest::qWait(20);
    EXPECT_TRUE(readout->text().isEmpty()) << "no data, nothing to read";
    EXPECT_FALSE(readout->marker_shown());

    plot.set_data(0, {1, 2}, {1, 2});
    plot.auto_range();
    hover(&plot, centre + QPoint(1, 0));
    EVENTUALLY(!readout->text().isEmpty());
    EXPECT_TRUE(readout->text().startsWith("curve 0: ")) << "unnamed curves go by their key";
    hover(&plot, plot.XLabel->geometry().center()); // off the canvas
    EVENTUALLY(readout->text().isEmpty());
    EXPECT_FALSE(readout->marker_shown());
}

// ---------------------------------------------------------------------------------------
// In the scope window
// ---------------------------------------------------------------------------------------

class ScopeHover : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
        auto owned = std::make_unique<scope_test::FeedQueue>();
        queue_ = owned.get();
        scope::ScopeOptions options;
        options.endpoint = QStringLiteral("test queue");
        options.reset_settings = true;
        window_ = std::make_unique<scope::ScopeWindow>(options, std::move(owned));
        // Wide enough that the status bar has room for the readout beside its fields.
        window_->resize(1500, 700);
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }

    void feed(std::initializer_list<Value> items) {
        queue_->items.insert(queue_->items.end(), items);
        scope_test::drain(*window_, *queue_);
    }

    QTemporaryDir dir_;
    scope_test::FeedQueue* queue_ = nullptr;
    std::unique_ptr<scope::ScopeWindow> window_;
};

TEST_F(ScopeHover, TheStatusBarNamesTheCurveAndTheValuesInTheirFormats) {
    feed({item("PN", Value::str_list({"t", "v"})), item("PXY", "t,v")});
    for (int i = 0; i <= 10; ++i)
        queue_->items.push_back(item("PD", Value::list({i, i * i})));
    queue_->items.push_back(item("ROLL", Value()));
    for (int i = 0; i <= 5; ++i)
        queue_->items.push_back(item("PD", Value::list({i, 2 * i})));
    scope_test::drain(*window_, *queue_);
    ASSERT_EQ(window_->visible_plots(), 1);
    chartpane::PlotWidget* plot = window_->plots()[0];
    auto* readout = plot->findChild<CursorReadout*>("cursor-readout");
    ASSERT_NE(readout, nullptr);
    const QRectF view = plot->plotItem()->vb()->viewRange();
    scope::StatusBar& bar = window_->status();

    // The Y list starts at "mag", which the readout says; the X list at "real", which it
    // leaves unsaid.
    const QSize window_size = window_->size();
    hover(plot, pixel_of(plot, {3, 9}));
    EVENTUALLY_EQ(bar.readout(), QString("1 older: x = 3, y (mag) = 9"));
    EXPECT_EQ(bar.shown_message(), bar.readout()) << "shown whole, with room to spare";
    QApplication::processEvents();
    EXPECT_EQ(window_->size(), window_size) << "the readout does not move the layout";
    // For a person to look at: the ring on the point, the readout in the status bar.
    ASSERT_TRUE(QDir().mkpath(QStringLiteral(LUMENFOLD_SCREENSHOT_DIR)));
    EXPECT_TRUE(window_->grab().save(QStringLiteral(LUMENFOLD_SCREENSHOT_DIR "/hover.png")));
    EXPECT_EQ(bar.findChild<QLabel*>("message")->toolTip().toStdString(),
              "1 older, point 3 of 11: x = 3, y = 9");
    EXPECT_EQ(marker_centre(readout), plot->canvas()->mapFrom(plot, pixel_of(plot, {3, 9})));
    // A warning takes the place while it lasts (and opens the log panel, which moves the
    // plot); the readout is back when it is over.
    host::warn("a warning while hovering");
    EVENTUALLY_EQ(bar.shown_message(), QString("warning: a warning while hovering"));
    bar.show_message({}); // what the message's timeout does
    // The panel moves the plot: a cursor moved onto the point after it finds it where it is
    // drawn now (moved again until the window's layout has settled).
    const auto ring_on_point = [&] {
        hover(plot, pixel_of(plot, {3, 9}));
        return readout->marker_shown() &&
               marker_centre(readout) == plot->canvas()->mapFrom(plot, pixel_of(plot, {3, 9}));
    };
    EVENTUALLY(ring_on_point());
    EXPECT_TRUE(window_->log_dock()->isVisible());
    EXPECT_EQ(bar.shown_message(), QString("1 older: x = 3, y (mag) = 9"));
    hover(plot, pixel_of(plot, {4, 8}) + QPoint(2, -1));
    EVENTUALLY_EQ(bar.readout(), QString("newest: x = 4, y (mag) = 8"));
    EXPECT_EQ(plot->plotItem()->vb()->viewRange(), view) << "hovering moves nothing";

    // Moves over an unchanged drawing search the index it has.
    const int builds = readout->builds();
    for (int dx = 0; dx < 5; ++dx)
        hover(plot, pixel_of(plot, {4, 8}) + QPoint(dx, 0));
    EXPECT_EQ(readout->builds(), builds);

    // The marker shows a picture of the canvas; a zoom by the wheel under a resting cursor
    // is not hidden by it: the picture goes and comes back with the new view.
    QWidget* canvas = plot->canvas();
    const QPoint rest = canvas->mapFrom(plot, pixel_of(plot, {4, 8}));
    QWheelEvent wheel(QPointF(rest), QPointF(canvas->mapToGlobal(rest)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(canvas, &wheel);
    EXPECT_NE(plot->plotItem()->vb()->viewRange(), view) << "the wheel zooms as before";
    EVENTUALLY_EQ(readout->builds(), builds + 1);
    EVENTUALLY(readout->marker_shown());
    EXPECT_EQ(marker_centre(readout), canvas->mapFrom(plot, pixel_of(plot, {4, 8})))
        << "the ring sits on the point in the new view";
    hover(plot, pixel_of(plot, {4, 8}));

    // A new format redraws the plot; the readout follows while the cursor rests.
    // Picked the way a user does from the keyboard: Home, then Down to "real".
    QComboBox* fy = window_->toolbar().ps->fy;
    const int real = fy->findText("real");
    ASSERT_GE(real, 0);
    fy->setFocus();
    QTest::keyClick(fy, Qt::Key_Home);
    for (int i = 0; i < real; ++i)
        QTest::keyClick(fy, Qt::Key_Down);
    ASSERT_EQ(fy->currentText(), "real");
    window_->tick();
    EVENTUALLY_EQ(bar.readout(), QString("newest: x = 4, y = 8"));
    EXPECT_GT(readout->builds(), builds);

    // The middle-button measure and the drags keep their meaning under a hovering cursor.
    const QPoint at = canvas->mapFrom(plot, pixel_of(plot, {4, 8}));
    QTest::mousePress(canvas, Qt::MiddleButton, Qt::NoModifier, at);
    QTest::mouseRelease(canvas, Qt::MiddleButton, Qt::NoModifier, at);
    EXPECT_TRUE(window_->measurement_text().startsWith("x = ")) << "measured as before";
    QWindow* window = window_->windowHandle();
    const QPoint from = canvas->mapTo(window_.get(), at), to = from + QPoint(60, 0);
    const QRectF before_drag = plot->plotItem()->vb()->viewRange();
    QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(window, to);
    EXPECT_TRUE(bar.readout().isEmpty()) << "a drag is not a hover";
    QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, to);
    EXPECT_LT(plot->plotItem()->vb()->viewRange().left(), before_drag.left())
        << "the left drag pans";

    // Off the plot, the readout and the marker are gone.
    hover(&window_->toolbar(), window_->toolbar().rect().center());
    EVENTUALLY(bar.readout().isEmpty());
    EXPECT_TRUE(bar.shown_message().isEmpty());
    EXPECT_FALSE(readout->marker_shown());
}
