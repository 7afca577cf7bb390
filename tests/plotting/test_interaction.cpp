// Mouse, wheel and key input over the plot area, delivered through the window like a user's.
#define QTEST_QPA_MOUSE_HANDLING // route QTest mouse events through the window system
#include <tellurix/lumenfold/plotting.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace plotting = tellurix::lumenfold::plotting;

namespace {

// A derived plot widget as the panel's own is: it sees every event first and passes on
// what it chooses to.
class Recorder : public plotting::PlotWidgetBase {
public:
    bool passMiddle = true;
    struct Seen {
        QEvent::Type type;
        Qt::MouseButton button;
        QPoint pos;
    };
    std::vector<Seen> mouse;
    std::vector<QString> keys;

protected:
    void mousePressEvent(QMouseEvent* e) override {
        mouse.push_back({e->type(), e->button(), e->pos()});
        if (e->button() != Qt::MiddleButton || passMiddle)
            PlotWidgetBase::mousePressEvent(e);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        mouse.push_back({e->type(), e->button(), e->pos()});
        if (e->button() != Qt::MiddleButton || passMiddle)
            PlotWidgetBase::mouseReleaseEvent(e);
    }
    void keyPressEvent(QKeyEvent* e) override {
        keys.push_back("press " + e->text());
        PlotWidgetBase::keyPressEvent(e);
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        keys.push_back("release " + e->text());
        PlotWidgetBase::keyReleaseEvent(e);
    }
};

class Interaction : public ::testing::Test {
protected:
    void SetUp() override {
        plot = std::make_unique<Recorder>();
        plot->resize(640, 480);
        plot->show();
        plot->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(plot.get()));
        plot->plotItem()->vb()->setRange(QRectF(0, 0, 100, 50));
        canvasRect = plot->canvas()->geometry();
    }

    // A point of the canvas, as a fraction of its size, in the plot widget's coordinates.
    QPoint at(double fx, double fy) const {
        return canvasRect.topLeft() +
               QPoint(int(canvasRect.width() * fx), int(canvasRect.height() * fy));
    }
    QPointF dataAt(QPoint p) const { return plot->plotItem()->vb()->mapSceneToView(p); }
    QRectF view() const { return plot->plotItem()->vb()->viewRange(); }

    void drag(Qt::MouseButton button, QPoint from, QPoint to) {
        QTest::mousePress(plot.get(), button, {}, from);
        QTest::mouseMove(plot.get(), (from + to) / 2);
        QTest::mouseMove(plot.get(), to);
        QTest::mouseRelease(plot.get(), button, {}, to);
    }

    void wheel(QPoint where, int delta) {
        // The canvas is the child under the cursor, so a real wheel event goes to it.
        const QPoint local = plot->canvas()->mapFrom(plot.get(), where);
        QWheelEvent e(local, plot->canvas()->mapToGlobal(local), QPoint(), QPoint(0, delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(plot->canvas(), &e);
    }

    std::unique_ptr<Recorder> plot;
    QRect canvasRect;
};

TEST_F(Interaction, ClicksOnTheCanvasReachTheDerivedHandlersInWidgetCoordinates) {
    const QPoint p = at(0.3, 0.6);
    QTest::mouseClick(plot.get(), Qt::LeftButton, {}, p);
    ASSERT_EQ(plot->mouse.size(), 2u);
    EXPECT_EQ(plot->mouse[0].type, QEvent::MouseButtonPress);
    EXPECT_EQ(plot->mouse[0].button, Qt::LeftButton);
    EXPECT_EQ(plot->mouse[0].pos, p);
    EXPECT_EQ(plot->mouse[1].type, QEvent::MouseButtonRelease);
    EXPECT_EQ(plot->mouse[1].pos, p);
    EXPECT_TRUE(plot->hasFocus());
}

TEST_F(Interaction, KeysReachTheDerivedHandlersOnceFocused) {
    QTest::mouseClick(plot.get(), Qt::LeftButton, {}, at(0.5, 0.5));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_1);
    EXPECT_EQ(plot->keys, (std::vector<QString>{"press f", "release f", "press 1", "release 1"}));
}

struct DragCase {
    double fromX, fromY, toX, toY;
};

class LeftDrag : public Interaction, public ::testing::WithParamInterface<DragCase> {};

TEST_P(LeftDrag, MovesTheDataUnderTheCursorWithIt) {
    const DragCase& c = GetParam();
    const QPoint from = at(c.fromX, c.fromY), to = at(c.toX, c.toY);
    const QPointF grabbed = dataAt(from);
    const QRectF before = view();
    drag(Qt::LeftButton, from, to);
    const QPointF now = dataAt(to);
    EXPECT_NEAR(now.x(), grabbed.x(), before.width() * 1e-3);
    EXPECT_NEAR(now.y(), grabbed.y(), before.height() * 1e-3);
    EXPECT_NEAR(view().width(), before.width(), before.width() * 1e-9);
    EXPECT_NEAR(view().height(), before.height(), before.height() * 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Drags, LeftDrag,
                         ::testing::Values(DragCase{0.2, 0.5, 0.7, 0.5},
                                           DragCase{0.8, 0.2, 0.1, 0.9},
                                           DragCase{0.5, 0.5, 0.5, 0.1}));

TEST_F(Interaction, PanningEndsAutomaticRanging) {
    plot->plot({0, 1}, {0, 1}, {});
    plot->plotItem()->vb()->enableAutoRange();
    drag(Qt::LeftButton, at(0.2, 0.2), at(0.4, 0.4));
    EXPECT_FALSE(plot->plotItem()->vb()->autoRangeEnabled());
}

TEST_F(Interaction, WheelUpZoomsInAndDownZoomsOutAroundTheCursor) {
    const QPoint cursor = at(0.25, 0.75);
    const QPointF under = dataAt(cursor);
    const QRectF before = view();
    wheel(cursor, 120);
    EXPECT_LT(view().width(), before.width());
    EXPECT_LT(view().height(), before.height());
    EXPECT_NEAR(dataAt(cursor).x(), under.x(), before.width() * 1e-3);
    EXPECT_NEAR(dataAt(cursor).y(), under.y(), before.height() * 1e-3);
    wheel(cursor, -240);
    EXPECT_GT(view().width(), before.width());
    EXPECT_NEAR(dataAt(cursor).x(), under.x(), before.width() * 1e-3);
}

TEST_F(Interaction, RightDragUpOrRightZoomsInDownOrLeftZoomsOut) {
    const QRectF before = view();
    drag(Qt::RightButton, at(0.5, 0.6), at(0.7, 0.3));
    EXPECT_LT(view().width(), before.width());
    EXPECT_LT(view().height(), before.height());
    const QRectF zoomed = view();
    drag(Qt::RightButton, at(0.5, 0.3), at(0.2, 0.8));
    EXPECT_GT(view().width(), zoomed.width());
    EXPECT_GT(view().height(), zoomed.height());
}

TEST_F(Interaction, MiddleButtonMovesNothingWhetherPassedOnOrNot) {
    for (bool pass : {true, false}) {
        plot->passMiddle = pass;
        const QRectF before = view();
        drag(Qt::MiddleButton, at(0.2, 0.2), at(0.8, 0.8));
        wheel(at(0.5, 0.5), 0); // no wheel steps either
        EXPECT_EQ(view(), before) << "passed on: " << pass;
    }
    // The derived widget still saw the middle button with its positions.
    ASSERT_GE(plot->mouse.size(), 2u);
    EXPECT_EQ(plot->mouse.back().button, Qt::MiddleButton);
    EXPECT_EQ(plot->mouse.back().pos, at(0.8, 0.8));
}

// A window holding a plot widget, counting what reaches it from below.
class Holder : public QWidget {
public:
    std::vector<std::pair<QEvent::Type, Qt::MouseButton>> seen;

protected:
    void mousePressEvent(QMouseEvent* e) override { seen.push_back({e->type(), e->button()}); }
    void mouseReleaseEvent(QMouseEvent* e) override { seen.push_back({e->type(), e->button()}); }
};

struct ClickCase {
    Qt::MouseButton button;
    bool passMiddle;
    size_t seenByHolder; // events the plot widget left unaccepted, handed on to its parent
};

class OneClick : public ::testing::TestWithParam<ClickCase> {};

TEST_P(OneClick, ReachesTheHandlersOnceAndWhatIsLeftGoesToTheParentOnce) {
    const ClickCase& c = GetParam();
    Holder holder;
    auto* plot = new Recorder;
    plot->setParent(&holder);
    plot->passMiddle = c.passMiddle;
    plot->setGeometry(10, 20, 400, 300);
    holder.resize(420, 340);
    holder.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&holder));
    plot->plotItem()->vb()->setRange(QRectF(0, 0, 10, 10));
    const QPoint where = plot->canvas()->geometry().center();
    QTest::mouseClick(plot, c.button, {}, where);
    ASSERT_EQ(plot->mouse.size(), 2u);
    EXPECT_EQ(plot->mouse[0].type, QEvent::MouseButtonPress);
    EXPECT_EQ(plot->mouse[1].type, QEvent::MouseButtonRelease);
    EXPECT_EQ(plot->mouse[0].pos, where);
    EXPECT_EQ(holder.seen.size(), c.seenByHolder);
    for (const auto& s : holder.seen)
        EXPECT_EQ(s.second, c.button);
}

INSTANTIATE_TEST_SUITE_P(Buttons, OneClick,
                         ::testing::Values(ClickCase{Qt::LeftButton, true, 0},
                                           ClickCase{Qt::RightButton, true, 0},
                                           ClickCase{Qt::MiddleButton, true, 2},
                                           ClickCase{Qt::MiddleButton, false, 2}));

// A derived handler that fails must not take Qt's event delivery down with it.
class Failing : public plotting::PlotWidgetBase {
protected:
    void mousePressEvent(QMouseEvent*) override { throw std::runtime_error("boom"); }
};

QStringList g_warnings;
void collectWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtWarningMsg)
        g_warnings.append(text);
}

TEST(Containment, AnExceptionFromAHandlerBecomesOneWarning) {
    Failing plot;
    plot.resize(400, 300);
    plot.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&plot));
    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarning);
    QTest::mouseClick(&plot, Qt::LeftButton, {}, plot.canvas()->geometry().center());
    qInstallMessageHandler(previous);
    EXPECT_EQ(g_warnings.filter("PlotWidgetBase::eventFilter: boom").size(), 1);
}

} // namespace
