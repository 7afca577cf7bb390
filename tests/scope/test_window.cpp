// The scope window fed by a Python producer in another process, driven through real
// mouse and key events: plots, labels and curve data follow the stream and the toolbar.
#include "../support/eventually.h"

#include <tellurix/lumenfold/scope/legend.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/toolbar.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <thread>

using namespace tellurix::lumenfold;
using scope::ScopeWindow;

namespace {

constexpr double pi = 3.14159265358979323846;

bool wait_for(const std::function<bool()>& done, int ms = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QTest::qWait(5);
    }
    return true;
}

std::vector<double> xs(const chartpane::PlotWidget* plot, int key) {
    const QVector<double>& v = plot->plots.at(key)->xData();
    return {v.begin(), v.end()};
}
std::vector<double> ys(const chartpane::PlotWidget* plot, int key) {
    const QVector<double>& v = plot->plots.at(key)->yData();
    return {v.begin(), v.end()};
}

void click(QWidget* w, Qt::MouseButton button = Qt::LeftButton, QPoint at = {}) {
    QTest::mouseClick(w, button, Qt::NoModifier, at.isNull() ? w->rect().center() : at);
}

// Picks `word` in a format list the way a user does from the keyboard: Home, then Down.
void choose(QComboBox* combo, const char* word) {
    const int target = combo->findText(QString::fromUtf8(word));
    ASSERT_GE(target, 0) << word;
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Home);
    for (int i = 0; i < target; ++i)
        QTest::keyClick(combo, Qt::Key_Down);
    ASSERT_EQ(combo->currentText(), QString::fromUtf8(word));
}

} // namespace

class ScopeWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        // Each test's window remembers its layout in the test's own directory: never in
        // the user's settings, and never in what an earlier test left.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
        options_.endpoint = QStringLiteral("ipc://%1/scope.ipc").arg(dir_.path());
        options_.max_plots = 4;
        open_window();
    }

    void open_window() {
        window_.reset();
        window_ = std::make_unique<ScopeWindow>(options_);
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }

    // Runs `body` in a Python producer process (`p` is a lumenfold.Producer connected to
    // the window) and waits until the window has taken every item it sent.
    void produce(const QString& body) {
        const QString script = QStringLiteral("import sys, lumenfold\n"
                                              "p = lumenfold.Producer(sys.argv[1])\n"
                                              "%1\n"
                                              "ok = p.close()\n"
                                              "print(p.items_sent)\n"
                                              "sys.exit(0 if ok else 3)\n")
                                   .arg(body);
        QProcess python;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString path = env.value(QStringLiteral("PYTHONPATH"));
        env.insert(QStringLiteral("PYTHONPATH"),
                   (path.isEmpty() ? QString() : path + QLatin1Char(':')) +
                       QStringLiteral(LUMENFOLD_PYTHON_DIR));
        python.setProcessEnvironment(env);
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), script, window_->endpoint()});
        ASSERT_TRUE(wait_for([&] { return python.state() == QProcess::NotRunning; }, 30000));
        ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        sent_ += python.readAllStandardOutput().trimmed().toULongLong();
        ASSERT_TRUE(wait_for([&] { return window_->items_taken() >= sent_; }))
            << window_->items_taken() << " of " << sent_ << " items arrived";
        window_->tick(); // act on what the last commands left in the toolbar
    }

    chartpane::PlotWidget* plot(int i) { return window_->plots().at(static_cast<std::size_t>(i)); }
    toolbar::ToolBar& tb() { return window_->toolbar(); }

    QTemporaryDir dir_;
    scope::ScopeOptions options_;
    std::unique_ptr<ScopeWindow> window_;
    std::uint64_t sent_ = 0;
};

TEST_F(ScopeWindowTest, OnePlotPerMatchedPairWithLabelsAndData) {
    produce(QStringLiteral("p.send('PN', ['t', 'a', 'b'])\n"
                           "p.send('PXY', 't,a;t,b')\n"
                           "for i in range(5):\n"
                           "    p.send('PD', [i, 10.0 * i, -i])\n"));
    ASSERT_EQ(window_->visible_plots(), 2);
    EXPECT_TRUE(plot(0)->isVisible());
    EXPECT_EQ(plot(0)->XLabel->text(), "X:t");
    EXPECT_EQ(plot(0)->YLabel->text(), "Y:a");
    EXPECT_EQ(plot(1)->YLabel->text(), "Y:b");
    choose(tb().ps->fy, "real"); // the Y list starts at "mag"
    window_->tick();
    EXPECT_EQ(xs(plot(0), 0), (std::vector<double>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ys(plot(0), 0), (std::vector<double>{0, 10, 20, 30, 40}));
    EXPECT_EQ(ys(plot(1), 0), (std::vector<double>{0, -1, -2, -3, -4}));
    for (int key = 1; key < 8; ++key)
        EXPECT_TRUE(xs(plot(0), key).empty()) << "no history yet, curve " << key;

    // More pairs than plots: the first four are shown, the rest counted.
    produce(QStringLiteral("p.send('PXY', '.*,.*')\n"));
    EXPECT_EQ(window_->visible_plots(), 4);
    EXPECT_EQ(window_->hidden_pairs(), 5);
    EXPECT_FALSE(plot(1)->isHidden() || plot(3)->isHidden());
    produce(QStringLiteral("p.send('PXY', 'b,a')\n"));
    EXPECT_EQ(window_->visible_plots(), 1);
    EXPECT_TRUE(plot(1)->isHidden());
    EXPECT_EQ(plot(0)->XLabel->text(), "X:b");
}

TEST_F(ScopeWindowTest, RollKeepsHistoryInOlderCurvesAndClrClearsIt) {
    produce(QStringLiteral("p.send('PN', ['t', 'v'])\n"
                           "p.send('PXY', 't,v')\n"
                           "for g in range(3):\n"
                           "    for i in range(4):\n"
                           "        p.send('PD', (i, 100 * g + i))\n"
                           "    p.send('ROLL', None)\n"
                           "p.send('PD', [0, 300])\n"));
    choose(tb().ps->fy, "real");
    window_->tick();
    EXPECT_EQ(ys(plot(0), 0), (std::vector<double>{300}));
    EXPECT_EQ(ys(plot(0), 1), (std::vector<double>{200, 201, 202, 203}));
    EXPECT_EQ(ys(plot(0), 3), (std::vector<double>{0, 1, 2, 3}));
    EXPECT_TRUE(ys(plot(0), 4).empty());

    // History is drawn lighter than the newest data.
    const QColor newest = plot(0)->plots.at(0)->style().pen.color();
    const QColor older = plot(0)->plots.at(3)->style().pen.color();
    EXPECT_GT(older.lightness(), newest.lightness());
    EXPECT_LT(older.hslSaturation(), newest.hslSaturation());

    // The legend names the four curves with data, each in the colour it is drawn in.
    auto* legend = plot(0)->canvas()->findChild<scope::Legend*>("legend");
    ASSERT_NE(legend, nullptr);
    EXPECT_TRUE(legend->isVisible());
    ASSERT_EQ(legend->entries().size(), 4u);
    const char* names[] = {"newest", "1 older", "2 older", "3 older"};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(legend->entries()[k].first, names[k]);
        EXPECT_EQ(legend->entries()[k].second, plot(0)->plots.at(k)->style().pen.color());
    }
    EXPECT_TRUE(plot(0)->canvas()->rect().contains(legend->geometry()));
    window_->legend_action()->trigger(); // View > Legend
    EXPECT_FALSE(legend->isVisible());

    click(tb().CR);
    window_->tick();
    EXPECT_FALSE(tb().CR_flag) << "the window takes the request";
    EXPECT_EQ(ys(plot(0), 0), (std::vector<double>{300}));
    for (int key = 1; key < 8; ++key)
        EXPECT_TRUE(ys(plot(0), key).empty()) << "curve " << key;
}

TEST_F(ScopeWindowTest, FormatsChangeWhatIsDrawn) {
    produce(QStringLiteral("p.send('PN', ['t', 'z', 'r'])\n"
                           "p.send('PXY', 't,z;t,r')\n"
                           "p.send('PD', [0, 3+4j, -2.0])\n"
                           "p.send('PD', [1, -1j, 2.0])\n"));
    struct Row {
        const char* word;
        std::vector<double> z, r;
    };
    for (const Row& row :
         {Row{"real", {3, 0}, {-2, 2}}, Row{"imag", {4, -1}, {0, 0}}, Row{"mag", {5, 1}, {2, 2}},
          Row{"phase", {std::atan2(4, 3), -pi / 2}, {pi, 0}}}) {
        choose(tb().ps->fy, row.word);
        window_->tick();
        EXPECT_FALSE(tb().xyfm_dirty);
        const std::vector<double> z = ys(plot(0), 0), r = ys(plot(1), 0);
        ASSERT_EQ(z.size(), 2u) << row.word;
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_NEAR(z[i], row.z[i], 1e-12) << row.word << " z[" << i << "]";
            EXPECT_NEAR(r[i], row.r[i], 1e-12) << row.word << " r[" << i << "]";
        }
    }
    choose(tb().ps->fx, "imag"); // the X list formats the X column the same way
    window_->tick();
    EXPECT_EQ(xs(plot(0), 0), (std::vector<double>{0, 0}));
}

TEST_F(ScopeWindowTest, LogAxesAndSharedRanges) {
    produce(QStringLiteral("p.send('PN', ['t', 'a', 'b'])\n"
                           "p.send('PXY', 't,a;t,b')\n"
                           "for i in range(1, 20):\n"
                           "    p.send('PD', [i, i * i, -i])\n"));
    click(tb().ps->ly);
    window_->tick();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(plot(i)->logModeY());
        EXPECT_FALSE(plot(i)->logModeX());
    }
    click(tb().ps->ly);
    click(tb().ps->lx);
    window_->tick();
    EXPECT_TRUE(plot(1)->logModeX());
    EXPECT_FALSE(plot(1)->logModeY());
    click(tb().ps->lx);

    click(tb().ps->linkx);
    window_->tick();
    EXPECT_FALSE(tb().link_dirty);
    EXPECT_TRUE(plot(0)->XAxisLinked && plot(1)->XAxisLinked);
    EXPECT_FALSE(plot(1)->YAxisLinked);
    plot(0)->plotItem()->vb()->setRange(QRectF(2, -100, 5, 50));
    const QRectF linked = plot(1)->plotItem()->vb()->viewRange();
    EXPECT_DOUBLE_EQ(linked.left(), 2);
    EXPECT_DOUBLE_EQ(linked.width(), 5);
    EXPECT_NE(linked.top(), -100) << "Y is not shared";

    click(tb().ps->linkx);
    window_->tick();
    EXPECT_FALSE(plot(1)->XAxisLinked);
    plot(0)->plotItem()->vb()->setRange(QRectF(10, 0, 1, 1));
    EXPECT_DOUBLE_EQ(plot(1)->plotItem()->vb()->viewRange().left(), 2) << "unlinked again";
}

TEST_F(ScopeWindowTest, TracesFollowTheTracesFamily) {
    produce(QStringLiteral("import array\n"
                           "p.send('TN', ['f', 's'])\n"
                           "p.send('TXY', 'f,s')\n"
                           "p.send('TD', [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])\n"
                           "p.send('TD', [array.array('d', [1, 2]), [7.0, 8.0]])\n"));
    EXPECT_EQ(window_->visible_plots(), 0) << "still showing points, which have no pattern";
    click(tb().tb);
    window_->tick();
    ASSERT_EQ(window_->visible_plots(), 1);
    choose(tb().ts->fy, "real");
    window_->tick();
    EXPECT_EQ(ys(plot(0), 0), (std::vector<double>{7, 8}));
    EXPECT_EQ(ys(plot(0), 1), (std::vector<double>{4, 5, 6}));
}

TEST_F(ScopeWindowTest, AMalformedStreamIsReportedAndTheRestStillArrives) {
    produce(QStringLiteral("p.send('PN', ['t', 'v'])\n"
                           "p.send('PXY', 't,v')\n"
                           "p.send_item(['PD', [0, 1]])\n" // a list, not a tuple
                           "p.send('PD', [1, 2, 3])\n"     // does not fit the columns
                           "p.send('PD', [1, 'x'])\n"      // not a number
                           "p.send('PXY', 5)\n"            // a pattern must be str
                           "p.send('TD', [[1.0]])\n"       // no trace columns yet
                           "p.send('roll', None)\n"        // unknown word
                           "p.send('PD', [2, 4])\n"));
    EXPECT_TRUE(window_->isVisible());
    EXPECT_EQ(window_->errors(), 4);
    EXPECT_EQ(window_->warnings(), 2);
    const QString log = window_->log_lines().join(QLatin1Char('\n'));
    EXPECT_TRUE(log.contains("QueueHandler - fifo Content must be tuple")) << log.toStdString();
    EXPECT_TRUE(log.contains("QueueHandler - unknown command : roll")) << log.toStdString();
    EXPECT_TRUE(log.contains("PD [1, 2, 3] rejected: PointDataset::append(): the record has 3"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("PD [1, 'x'] rejected: PointDataset::append(): argument 'record[1]'"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("PXY 5 rejected:")) << log.toStdString();
    EXPECT_TRUE(log.contains("TD [[1]] rejected: TraceDataset::append(): no column names"))
        << log.toStdString();
    ASSERT_EQ(window_->visible_plots(), 1);
    EXPECT_EQ(xs(plot(0), 0), (std::vector<double>{2})) << "the good row behind the bad ones";
}

TEST_F(ScopeWindowTest, MiddleButtonMeasurementIsShownAndCsvHoldsTheVisibleData) {
    produce(QStringLiteral("p.send('PN', ['t', 'v'])\n"
                           "p.send('PXY', 't,v')\n"
                           "for i in range(11):\n"
                           "    p.send('PD', [i, i])\n"));
    chartpane::PlotWidget* pw = plot(0);
    plotting::ViewBox* vb = pw->plotItem()->vb();
    vb->setRange(QRectF(2, 0, 4, 10)); // x from 2 to 6
    const QPoint at = vb->mapViewToScene(QPointF(3, 5)).toPoint();
    QWidget* canvas = pw->canvas();
    const QPoint on_canvas = canvas->mapFrom(pw, at);
    QTest::mousePress(canvas, Qt::MiddleButton, Qt::NoModifier, on_canvas);
    QTest::mouseRelease(canvas, Qt::MiddleButton, Qt::NoModifier, on_canvas);
    EXPECT_TRUE(window_->measurement_text().startsWith("x = 3") ||
                window_->measurement_text().startsWith("x = 2.9"))
        << window_->measurement_text().toStdString();
    // As many digits as a pixel of a 4-wide range over a few hundred pixels tells apart;
    // the tooltip keeps the exact value, and the readout lies within a pixel of it.
    const QString shown = window_->measurement_text().mid(4);
    EXPECT_LE(shown.size() - shown.indexOf('.') - 1, 3) << shown.toStdString();
    const double exact = window_->status().field_label("measure")->toolTip().toDouble();
    EXPECT_NEAR(shown.toDouble(), exact, 4.0 / canvas->width());

    const QPoint to = canvas->mapFrom(pw, vb->mapViewToScene(QPointF(5, 5)).toPoint());
    QTest::keyPress(pw, Qt::Key_R, Qt::NoModifier);
    QTest::mousePress(canvas, Qt::MiddleButton, Qt::NoModifier, on_canvas);
    QTest::mouseRelease(canvas, Qt::MiddleButton, Qt::NoModifier, to);
    QTest::keyRelease(pw, Qt::Key_R, Qt::NoModifier);
    EXPECT_TRUE(window_->measurement_text().contains("dx = 2") ||
                window_->measurement_text().contains("dx = 1.9"))
        << window_->measurement_text().toStdString();

    click(canvas); // makes it the plot to export
    vb->setRange(QRectF(2, 0, 4, 10));
    const QString file = dir_.filePath("plot.csv");
    QString error;
    ASSERT_TRUE(window_->export_csv(file, &error)) << error.toStdString();
    QFile in(file);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(in.readAll()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.value(0), "curve,x,y");
    QStringList expected{"curve,x,y"};
    for (int x = 2; x <= 6; ++x)
        expected << QStringLiteral("0,%1,%2").arg(x).arg(x);
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(window_->export_csv(dir_.filePath("no/such/dir/plot.csv"), &error));

    const QString png = dir_.filePath("window.png");
    ASSERT_TRUE(window_->export_png(png, &error)) << error.toStdString();
    EXPECT_EQ(QImage(png).size(), window_->size() * window_->devicePixelRatioF());

    // "AR" gives every plot its automatic range back after the user's own range.
    EXPECT_FALSE(vb->autoRangeEnabled());
    click(tb().AR);
    EXPECT_TRUE(vb->autoRangeEnabled());
    EXPECT_LE(vb->viewRange().left(), 0) << "fitted to all the data again";
    EXPECT_GE(vb->viewRange().right(), 10) << "fitted to all the data again";
}

TEST_F(ScopeWindowTest, WarningsFromAnyThreadReachTheLogPanel) {
    std::thread([] { host::warn("from a producer thread"); }).join();
    host::warn("from the GUI thread");
    ASSERT_TRUE(wait_for([&] { return window_->warnings() == 2; }));
    const QStringList lines = window_->log_lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("warning: from a producer thread") ||
                lines[1].endsWith("warning: from a producer thread"));
    window_.reset();
    // The window gave the channel back (the default handler, an empty function), so
    // nothing can reach a destroyed window.
    EXPECT_FALSE(host::set_warning_handler({}));
}

TEST_F(ScopeWindowTest, TheLogPanelAppearsOnTheFirstWarningAndStaysClosedOnceClosed) {
    EXPECT_FALSE(window_->log_dock()->isVisible());
    host::warn("first");
    EVENTUALLY(window_->log_dock()->isVisible());
    window_->tick();
    EXPECT_EQ(window_->status().field("log"), "warnings 1");

    window_->log_dock()->toggleViewAction()->trigger(); // View > Log
    EXPECT_FALSE(window_->log_dock()->isVisible());
    host::warn("second");
    EVENTUALLY_EQ(window_->warnings(), 2);
    EXPECT_FALSE(window_->log_dock()->isVisible()) << "the user closed it";
    window_->log_dock()->toggleViewAction()->trigger();
    EXPECT_TRUE(window_->log_dock()->isVisible());
    EXPECT_EQ(window_->log_lines().size(), 2);
}

TEST_F(ScopeWindowTest, ALongMessageIsElidedBesideTheFieldsAndWholeInTheTooltipAndLog) {
    window_->resize(1, 500); // as narrow as the window goes: the toolbar's width
    const QString tail = QStringLiteral(" the end of a very long message");
    const QString text = QStringLiteral("ToolBar::textEdited: invalid pattern ") +
                         QString(300, QLatin1Char('x')) + tail;
    host::warn(text);
    EVENTUALLY_EQ(window_->warnings(), 1);
    scope::StatusBar& bar = window_->status();
    EVENTUALLY(!bar.shown_message().isEmpty());
    EXPECT_EQ(bar.message(), "warning: " + text);
    EXPECT_FALSE(bar.shown_message().endsWith(tail)) << "elided";
    auto* message = bar.findChild<QLabel*>("message");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->toolTip(), "warning: " + text);
    EXPECT_LE(message->fontMetrics().horizontalAdvance(message->text()),
              message->contentsRect().width());
    for (const char* name : {"log", "held", "endpoint", "rate", "backlog"}) {
        QLabel* field = bar.field_label(name);
        if (field->isVisible()) {
            EXPECT_FALSE(message->geometry().intersects(field->geometry())) << name;
            // and no field is cut short by the others
            EXPECT_GE(field->contentsRect().width(),
                      field->fontMetrics().horizontalAdvance(field->text()))
                << name << ": " << field->text().toStdString();
        }
    }
    EXPECT_TRUE(window_->log_lines().value(0).endsWith(text));
}

TEST_F(ScopeWindowTest, TheLayoutSurvivesARestartAndResetSettingsForgetsIt) {
    const QSize fresh = window_->size();
    const QSize chosen(fresh.width() + 160, fresh.height() - 120);
    window_->resize(chosen);
    EVENTUALLY_EQ(window_->size(), chosen);
    window_->log_dock()->toggleViewAction()->trigger(); // View > Log
    ASSERT_TRUE(window_->log_dock()->isVisible());
    ASSERT_TRUE(window_->legend_action()->isChecked());
    window_->legend_action()->trigger(); // View > Legend: off

    open_window(); // the first window is gone before the second opens
    EXPECT_EQ(window_->size(), chosen);
    EXPECT_TRUE(window_->log_dock()->isVisible()) << "the dock state was remembered";
    EXPECT_FALSE(window_->legend_action()->isChecked()) << "the legend choice was remembered";

    options_.reset_settings = true;
    open_window();
    EXPECT_EQ(window_->size(), fresh);
    EXPECT_FALSE(window_->log_dock()->isVisible());
    EXPECT_TRUE(window_->legend_action()->isChecked());
}
