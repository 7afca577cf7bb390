// No text of a plot lies over another, at any window size and with log axes: the boxes of
// the "X:"/"Y:" name labels and of every tick label drawn, in window coordinates, from the
// widgets and Qwt's scale draws. Each size is saved as a screenshot, plain and with the
// boxes drawn over it, under the build tree (screenshots/), for a person to look at.
#include "feed_queue.h"

#include <tellurix/lumenfold/scope/scope_window.h>

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/toolbar.h>

#include <QCheckBox>
#include <QDir>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <qwt_scale_draw.h>
#include <qwt_scale_widget.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace tellurix::lumenfold;
using scope_test::item;
using Value = host::Value;

namespace {

struct TextBox {
    QString what;
    QRect box;   // window coordinates
    QRect owner; // the plot widget it belongs to, window coordinates
};

std::vector<TextBox> text_boxes(scope::ScopeWindow& window) {
    std::vector<TextBox> boxes;
    for (int i = 0; i < window.visible_plots(); ++i) {
        chartpane::PlotWidget* plot = window.plots()[static_cast<std::size_t>(i)];
        const QRect owner(plot->mapTo(&window, QPoint(0, 0)), plot->size());
        const QString name = QStringLiteral("plot %1 ").arg(i);
        for (const QLabel* label : {plot->XLabel, plot->YLabel})
            boxes.push_back({name + QStringLiteral("label '%1'").arg(label->text()),
                             QRect(plot->mapTo(&window, label->pos()), label->size()), owner});
        for (const int axis : {int(QwtPlot::yLeft), int(QwtPlot::xBottom)}) {
            if (!plot->axisEnabled(axis))
                continue;
            const QwtScaleWidget* scale = plot->axisWidget(axis);
            const QwtScaleDraw* draw = scale->scaleDraw();
            const QPoint origin = scale->mapTo(&window, QPoint(0, 0));
            for (const double v : draw->scaleDiv().ticks(QwtScaleDiv::MajorTick)) {
                if (!draw->scaleDiv().contains(v))
                    continue; // not drawn
                const QRect r = draw->boundingLabelRect(scale->font(), v);
                if (r.isEmpty())
                    continue;
                boxes.push_back({name + (axis == QwtPlot::yLeft ? "Y" : "X") +
                                     QStringLiteral(" tick '%1'").arg(draw->label(v).text()),
                                 r.translated(origin), owner});
            }
        }
    }
    return boxes;
}

// Pairs of boxes that overlap, and boxes cut at their plot's edge.
int clashes(const std::vector<TextBox>& boxes) {
    int n = 0;
    for (std::size_t a = 0; a < boxes.size(); ++a) {
        n += boxes[a].owner.contains(boxes[a].box) ? 0 : 1;
        for (std::size_t b = a + 1; b < boxes.size(); ++b)
            n += boxes[a].box.intersects(boxes[b].box) ? 1 : 0;
    }
    return n;
}

struct LayoutCase {
    int width, height;
    bool log;
    int plots; // 4 (two rows of two) or 9 (three rows of three)
};

std::string case_name(const LayoutCase& c) {
    return std::to_string(c.width) + "x" + std::to_string(c.height) + (c.log ? "_log" : "_linear") +
           "_" + std::to_string(c.plots) + "_plots";
}

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << case_name(c);
}

} // namespace

class TextLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(TextLayout, NoTextOverlapsAnotherAndNoneIsCutAtThePlotsEdge) {
    const LayoutCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    auto owned = std::make_unique<scope_test::FeedQueue>();
    scope_test::FeedQueue& queue = *owned;
    scope::ScopeOptions options;
    options.endpoint = QStringLiteral("test queue");
    options.reset_settings = true;
    scope::ScopeWindow window(options, std::move(owned));
    window.resize(c.width, c.height);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    // Plots with labels of every width: small and large magnitudes, negative values and a
    // range of eight decades (for the log axes).
    queue.items = {item("PN", Value::str_list({"time", "small", "large", "negative", "decades"})),
                   item("PXY", c.plots == 4 ? "time,small;time,large;time,negative;time,decades"
                                            : "time,.*;small,.*")};
    for (int t = 1; t <= 200; ++t)
        queue.items.push_back(
            item("PD", Value::list({double(t), 1e-3 * std::sin(t / 10.0), 12345.0 * t * t,
                                    -0.01 * t, std::pow(10.0, t / 25.0)})));
    scope_test::drain(window, queue);
    ASSERT_EQ(window.visible_plots(), c.plots);
    if (c.log) {
        QTest::mouseClick(window.toolbar().ps->lx, Qt::LeftButton);
        QTest::mouseClick(window.toolbar().ps->ly, Qt::LeftButton);
        window.tick();
        ASSERT_TRUE(window.plots()[0]->logModeX() && window.plots()[0]->logModeY());
    }
    // The window settles its layout over a few rounds of events (the axes take the ticks
    // their height allows once it is known): the check is made once it has.
    (void)QTest::qWaitFor([&] { return clashes(text_boxes(window)) == 0; }, 2000);

    const std::vector<TextBox> boxes = text_boxes(window);
    ASSERT_GE(boxes.size(), std::size_t(c.plots) * (2 + 4)) << "two names and a few ticks per plot";
    for (std::size_t a = 0; a < boxes.size(); ++a) {
        EXPECT_TRUE(boxes[a].owner.contains(boxes[a].box))
            << boxes[a].what.toStdString() << " is cut at the plot's edge";
        for (std::size_t b = a + 1; b < boxes.size(); ++b)
            EXPECT_FALSE(boxes[a].box.intersects(boxes[b].box))
                << boxes[a].what.toStdString() << " overlaps " << boxes[b].what.toStdString();
    }

    // For a person to look at: the window as drawn, and with the boxes checked.
    const QString out = QStringLiteral(LUMENFOLD_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(out));
    const QString stem = QStringLiteral("%1/text-%2x%3-%4-%5plots")
                             .arg(out)
                             .arg(window.width())
                             .arg(window.height())
                             .arg(c.log ? "log" : "linear")
                             .arg(c.plots);
    QApplication::processEvents(); // the status bar's last texts laid out too
    QPixmap shot = window.grab();
    ASSERT_TRUE(shot.save(stem + QStringLiteral(".png")));
    {
        QPainter painter(&shot);
        painter.setPen(QPen(Qt::red, 1));
        for (const TextBox& t : boxes)
            painter.drawRect(t.box.adjusted(0, 0, -1, -1));
    }
    ASSERT_TRUE(shot.save(stem + QStringLiteral("-boxes.png")));
    std::printf("%s: window %dx%d, %zu text boxes, plot 0 at %dx%d\n", case_name(c).c_str(),
                window.width(), window.height(), boxes.size(), window.plots()[0]->width(),
                window.plots()[0]->height());
}

std::vector<LayoutCase> layout_cases() {
    std::vector<LayoutCase> cases;
    for (const QSize size : {QSize(640, 480), QSize(1024, 768), QSize(1920, 1080), QSize(420, 900)})
        for (const bool log : {false, true})
            for (const int plots : {4, 9})
                cases.push_back({size.width(), size.height(), log, plots});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Sizes, TextLayout, ::testing::ValuesIn(layout_cases()),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                             return case_name(info.param);
                         });
