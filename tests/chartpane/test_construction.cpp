// PlotWidget construction, palette resolution, axis labels and curve data.
#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/config.h>

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QTest>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <set>

#include "../support/eventually.h"
#include "../support/qt_printers.h"

namespace lf = tellurix::lumenfold;
using lf::chartpane::PlotWidget;
using lf::host::Value;

namespace {

// Colours that the default palette cannot contain (alpha 77), distinct per position.
std::vector<QColor> caller_colors(std::size_t n) {
    std::vector<QColor> out;
    for (std::size_t i = 0; i < n; ++i)
        out.emplace_back(static_cast<int>(10 + 20 * i) % 256, 40, 200, 77);
    return out;
}

std::size_t default_size() {
    return lf::config::defualt_colors->size();
}

} // namespace

// ---------------------------------------------------------------------------
// Fresh widget
// ---------------------------------------------------------------------------

TEST(PlotWidgetConstruction, DefaultWidgetStartsBlank) {
    const std::vector<QColor> palette_before = *lf::config::defualt_colors;
    PlotWidget w;

    EXPECT_EQ(w.minimumHeight(), 300);
    EXPECT_EQ(w.colors.get(), lf::config::defualt_colors.get());
    EXPECT_EQ(*lf::config::defualt_colors, palette_before);
    EXPECT_FALSE(w.XAxisLinked);
    EXPECT_FALSE(w.YAxisLinked);
    EXPECT_TRUE(w.xname.is_str());
    EXPECT_EQ(w.xname, Value(""));
    EXPECT_EQ(w.yname, Value(""));
    EXPECT_EQ(w.clippos1, 0.0);
    EXPECT_EQ(w.clippos2, 0.0);
    EXPECT_FALSE(w.range_select);
    EXPECT_TRUE(w.gridShownX());
    EXPECT_TRUE(w.gridShownY());
    EXPECT_EQ(w.background(), lf::config::COL_UNSEL);
    EXPECT_EQ(w.parentWidget(), nullptr);
}

TEST(PlotWidgetConstruction, LabelsAreChildrenInTheTopLeftCorner) {
    PlotWidget w;
    ASSERT_NE(w.XLabel, nullptr);
    ASSERT_NE(w.YLabel, nullptr);
    EXPECT_EQ(w.XLabel->parentWidget(), &w);
    EXPECT_EQ(w.YLabel->parentWidget(), &w);
    EXPECT_EQ(w.XLabel->text(), "X:");
    EXPECT_EQ(w.YLabel->text(), "Y:");
    EXPECT_EQ(w.XLabel->pos(), QPoint(0, 5));
    EXPECT_EQ(w.YLabel->pos(), QPoint(0, 35));
}

TEST(PlotWidgetConstruction, OneEmptyCurvePerKeyInSettingsOrder) {
    PlotWidget w;
    const std::vector<int>& ridx = lf::config::ridx;
    ASSERT_EQ(w.plots.size(), ridx.size());
    const QList<lf::plotting::Curve*> drawn = w.curves();
    ASSERT_EQ(static_cast<std::size_t>(drawn.size()), ridx.size());
    for (std::size_t n = 0; n < ridx.size(); ++n) {
        SCOPED_TRACE(ridx[n]);
        ASSERT_EQ(w.plots.count(ridx[n]), 1u);
        lf::plotting::Curve* curve = w.plots.at(ridx[n]);
        // The plot area holds the curves in creation order, which must follow ridx.
        EXPECT_EQ(drawn[static_cast<int>(n)], curve);
        EXPECT_TRUE(curve->xData().isEmpty());
        EXPECT_TRUE(curve->yData().isEmpty());
    }
}

TEST(PlotWidgetConstruction, MinimumHeightIsTheCallers) {
    for (int h : {0, 120, 300, 777}) {
        PlotWidget w(h);
        EXPECT_EQ(w.minimumHeight(), h);
    }
}

TEST(PlotWidgetConstruction, TwoWidgetsOwnSeparateCurvesAndLabels) {
    PlotWidget a, b;
    EXPECT_EQ(a.colors.get(), b.colors.get());
    for (int key : lf::config::ridx)
        EXPECT_NE(a.plots.at(key), b.plots.at(key));
    a.set_X_label("t");
    EXPECT_EQ(b.XLabel->text(), "X:");
}

// ---------------------------------------------------------------------------
// Palette resolution
// ---------------------------------------------------------------------------

class PaletteLength : public ::testing::TestWithParam<int> {};

// The parameter is the caller's length relative to the default palette's.
TEST_P(PaletteLength, CallerListIsKeptAndPaddedInPlace) {
    const int given = std::max(0, static_cast<int>(default_size()) + GetParam());
    const std::vector<QColor> mine = caller_colors(static_cast<std::size_t>(given));
    auto palette = std::make_shared<std::vector<QColor>>(mine);
    const std::vector<QColor> defaults = *lf::config::defualt_colors;

    PlotWidget w(300, palette);

    EXPECT_EQ(w.colors.get(), palette.get()) << "the caller's list object is used";
    const std::size_t want = std::max(mine.size(), defaults.size());
    ASSERT_EQ(palette->size(), want);
    for (std::size_t i = 0; i < want; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ((*palette)[i], i < mine.size() ? mine[i] : defaults[i]);
    }
    EXPECT_EQ(*lf::config::defualt_colors, defaults) << "the default palette is never touched";
}

INSTANTIATE_TEST_SUITE_P(ShorterEqualLonger, PaletteLength,
                         ::testing::Values(-1000, -6, -1, 0, 1, 3));

TEST(PlotWidgetPalette, SecondWidgetOnAPaddedListAddsNothing) {
    auto palette = std::make_shared<std::vector<QColor>>(caller_colors(2));
    PlotWidget first(300, palette);
    const std::vector<QColor> after_first = *palette;
    PlotWidget second(300, palette);
    EXPECT_EQ(*palette, after_first);
    EXPECT_EQ(second.colors.get(), first.colors.get());
}

// ---------------------------------------------------------------------------
// Curve styles
// ---------------------------------------------------------------------------

class CurveStyles : public ::testing::TestWithParam<int> {};

TEST_P(CurveStyles, EachCurveTakesItsKeysColourWidthAndSymbolSize) {
    std::shared_ptr<std::vector<QColor>> palette;
    if (GetParam() >= 0)
        palette = std::make_shared<std::vector<QColor>>(caller_colors(std::size_t(GetParam())));
    PlotWidget w(300, palette);
    for (int key : lf::config::ridx) {
        SCOPED_TRACE(key);
        const auto k = static_cast<std::size_t>(key);
        const QColor colour = (*w.colors)[k];
        const lf::plotting::CurveStyle& style = w.plots.at(key)->style();
        EXPECT_EQ(style.pen.color(), colour);
        EXPECT_EQ(style.pen.widthF(), lf::config::widths[k]);
        EXPECT_EQ(style.pen.style(), Qt::SolidLine);
        EXPECT_EQ(style.symbolBrush.color(), colour);
        EXPECT_EQ(style.symbolBrush.style(), Qt::SolidPattern);
        EXPECT_EQ(style.symbolPen.color(), colour);
        EXPECT_EQ(style.symbolPen.widthF(), 0.0);
        EXPECT_EQ(style.symbolSize, lf::config::SymSize[k]);
        if (palette && k < std::size_t(GetParam())) {
            EXPECT_EQ(colour.alpha(), 77) << "the caller's colour, not the default";
        }
    }
}

// -1: no palette given; otherwise the caller's palette length.
INSTANTIATE_TEST_SUITE_P(Palettes, CurveStyles, ::testing::Values(-1, 0, 3, 12));

// ---------------------------------------------------------------------------
// Axis labels
// ---------------------------------------------------------------------------

struct LabelCase {
    const char* name;
    Value given;
    QString shown;
};

void PrintTo(const LabelCase& c, std::ostream* os) {
    *os << c.name;
}

class AxisLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(AxisLabels, NameIsKeptAndShownAfterThePrefix) {
    const LabelCase& c = GetParam();
    PlotWidget w;
    w.resize(400, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));

    w.set_X_label(c.given);
    EXPECT_EQ(w.xname, c.given);
    EXPECT_EQ(w.xname.kind(), c.given.kind()) << "kept unconverted";
    EXPECT_EQ(w.XLabel->text(), "X:" + c.shown);
    EXPECT_EQ(w.YLabel->text(), "Y:");
    EXPECT_EQ(w.yname, Value(""));

    w.set_Y_label(c.given);
    EXPECT_EQ(w.yname, c.given);
    EXPECT_EQ(w.YLabel->text(), "Y:" + c.shown);

    // The labels stay where they were put, and a long name is not cut short.
    EXPECT_EQ(w.XLabel->pos(), QPoint(0, 5));
    EXPECT_EQ(w.YLabel->pos(), QPoint(0, 35));
    EXPECT_GE(w.XLabel->width(), w.XLabel->sizeHint().width());
    EXPECT_GE(w.YLabel->width(), w.YLabel->sizeHint().width());
}

INSTANTIATE_TEST_SUITE_P(
    Values, AxisLabels,
    ::testing::Values(LabelCase{"str", Value("time"), "time"}, LabelCase{"empty", Value(""), ""},
                      LabelCase{"float", Value(2.5), "2.5"},
                      LabelCase{"whole_float", Value(3.0), "3"}, LabelCase{"int", Value(42), "42"},
                      LabelCase{"none", Value(), "None"},
                      LabelCase{"long", Value("a_rather_long_column_name_in_volts"),
                                "a_rather_long_column_name_in_volts"},
                      LabelCase{"list", Value::str_list({"t", "volts"}), "['t', 'volts']"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlotWidgetLabels, RenamingReplacesThePreviousName) {
    PlotWidget w;
    w.set_X_label("first");
    w.set_X_label(Value(7));
    EXPECT_EQ(w.xname, Value(7));
    EXPECT_EQ(w.XLabel->text(), "X:7");
    w.set_X_label("");
    EXPECT_EQ(w.XLabel->text(), "X:");
}

// What Qt shows for a tooltip's text: rich text when Qt::mightBeRichText says so (as QToolTip
// decides), the text itself otherwise.
QString tooltip_as_shown(const QString& tip) {
    QTextDocument doc;
    if (Qt::mightBeRichText(tip))
        doc.setHtml(tip);
    else
        doc.setPlainText(tip);
    return doc.toPlainText();
}

struct HostileName {
    const char* name;
    QString text;
};

void PrintTo(const HostileName& c, std::ostream* os) {
    *os << c.name;
}

class HostileNames : public ::testing::TestWithParam<HostileName> {};

// A name is data from a producer: never markup, never more than one line of the label.
TEST_P(HostileNames, AreShownLiterallyOnOneLine) {
    const QString full = "X:" + GetParam().text;
    PlotWidget w;
    w.resize(800, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.set_X_label("volts");
    const int one_line = w.XLabel->height();

    w.set_X_label(Value(GetParam().text));
    EXPECT_EQ(w.XLabel->text(), full);
    EXPECT_EQ(w.XLabel->height(), one_line);
    // Laid out as the literal characters: as wide as they are on one line.
    QString line = full;
    line.replace('\n', ' ');
    EXPECT_GE(w.XLabel->width(), w.XLabel->fontMetrics().horizontalAdvance(line) - 1);
    const QString tip = w.XLabel->toolTip();
    if (full.contains('\n')) {
        EXPECT_FALSE(tip.isEmpty()) << "the lines are joined in the label, whole in the tooltip";
    }
    if (!tip.isEmpty()) {
        EXPECT_EQ(tooltip_as_shown(tip), full);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostileNames,
    ::testing::Values(HostileName{"heading", "<h1>volts</h1>"},
                      HostileName{
                          "image",
                          "<img src=\"/nonexistent/lumenfold.png\" width=\"300\" height=\"300\">"},
                      HostileName{"table", "<table><tr><td>a</td></tr><tr><td>b</td></tr></table>"},
                      HostileName{"entities", "&lt;b&gt; and <b>bold</b>"},
                      HostileName{"line_breaks", "volts\nin\nthree lines"}),
    [](const auto& info) { return std::string(info.param.name); });

// A name that fits is drawn whole, exactly as a plain-text QLabel of that size draws it.
TEST(PlotWidgetLabels, NamesThatFitAreDrawnWhole) {
    PlotWidget w;
    w.resize(400, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (const char* name : {"t", "volts", "a_rather_long_column_name_in_volts"}) {
        SCOPED_TRACE(name);
        w.set_X_label(Value(name));
        QLabel plain(&w);
        plain.setTextFormat(Qt::PlainText);
        plain.setText(w.XLabel->text());
        plain.resize(w.XLabel->size());
        EXPECT_EQ(w.XLabel->grab().toImage(), plain.grab().toImage());
    }
}

// Two plots side by side, as a host lays them out: a 10 kB name on the left one stops at its
// own right edge, is cut there, and the whole name is in the tooltip.
TEST(PlotWidgetLabels, LongNamesStayInsideTheirOwnPlot) {
    QWidget window;
    auto* row = new QHBoxLayout(&window);
    auto* left = new PlotWidget();
    auto* right = new PlotWidget();
    row->addWidget(left);
    row->addWidget(right);
    window.resize(900, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const QString name = QString(10000, 'v') + "end";
    left->set_X_label(Value(name));
    left->set_Y_label(Value(name));
    for (QLabel* label : {left->XLabel, left->YLabel}) {
        EXPECT_EQ(label->text().size(), name.size() + 2);
        EXPECT_LE(label->mapTo(&window, QPoint(label->width(), 0)).x(), right->x());
        EXPECT_GT(label->width(), 0);
        EXPECT_EQ(tooltip_as_shown(label->toolTip()), label->text());
    }

    // The label follows its plot's width.
    window.resize(1400, 400);
    EVENTUALLY(left->width() > 600);
    EXPECT_LE(left->XLabel->mapTo(&window, QPoint(left->XLabel->width(), 0)).x(), right->x());
    EXPECT_GT(left->XLabel->width(), 500);

    // A short name again takes only the width it needs, with no tooltip.
    left->set_X_label(Value("t"));
    EXPECT_EQ(left->XLabel->width(), left->XLabel->sizeHint().width());
    EXPECT_LT(left->XLabel->width(), 100);
    EXPECT_TRUE(left->XLabel->toolTip().isEmpty());
}

// ---------------------------------------------------------------------------
// Curve data
// ---------------------------------------------------------------------------

class CurveData : public ::testing::Test {
protected:
    // Every curve's data, keyed like plots.
    std::map<int, std::pair<QVector<double>, QVector<double>>> snapshot() const {
        std::map<int, std::pair<QVector<double>, QVector<double>>> out;
        for (const auto& [key, curve] : w.plots)
            out[key] = {curve->xData(), curve->yData()};
        return out;
    }
    PlotWidget w;
};

TEST_F(CurveData, SetDataReplacesOnlyThatCurve) {
    const int first = lf::config::ridx.front();
    const int last = lf::config::ridx.back();
    ASSERT_NE(first, last);

    w.set_data(last, {1, 2, 3}, {10, 20, 30});
    w.set_data(first, {-1}, {0.5});
    auto before = snapshot();
    w.set_data(last, {4, 5}, {40, 50});
    auto after = snapshot();

    EXPECT_EQ(after[last].first, (QVector<double>{4, 5}));
    EXPECT_EQ(after[last].second, (QVector<double>{40, 50}));
    after.erase(last);
    before.erase(last);
    EXPECT_EQ(after, before);
    EXPECT_EQ(w.plots.at(first)->xData(), QVector<double>{-1});
}

TEST_F(CurveData, EmptyDataClearsACurve) {
    const int key = lf::config::ridx.front();
    w.set_data(key, {1, 2}, {3, 4});
    w.set_data(key, {}, {});
    EXPECT_TRUE(w.plots.at(key)->xData().isEmpty());
    EXPECT_TRUE(w.plots.at(key)->yData().isEmpty());
}

TEST_F(CurveData, UnknownKeyFailsAndTouchesNothing) {
    for (int key : lf::config::ridx)
        w.set_data(key, {double(key)}, {double(key) * 2});
    const auto before = snapshot();
    const std::set<int> keys(lf::config::ridx.begin(), lf::config::ridx.end());
    for (int bad : {-1, 1000, *keys.rbegin() + 1}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(w.set_data(bad, {1}, {2}), std::out_of_range);
    }
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(w.plots.size(), keys.size()) << "no curve is created on demand";
    EXPECT_EQ(static_cast<std::size_t>(w.curves().size()), keys.size());
}

TEST_F(CurveData, LengthMismatchFailsAndKeepsTheOldData) {
    const int key = lf::config::ridx.back();
    w.set_data(key, {1, 2}, {3, 4});
    const auto before = snapshot();
    EXPECT_THROW(w.set_data(key, {1, 2, 3}, {1, 2}), std::invalid_argument);
    EXPECT_THROW(w.set_data(key, {}, {1}), std::invalid_argument);
    EXPECT_EQ(snapshot(), before);
}

// ---------------------------------------------------------------------------
// Repaint
// ---------------------------------------------------------------------------

namespace {
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};
} // namespace

TEST(PlotWidgetRepaint, UpdateSchedulesAPaint) {
    PlotWidget w;
    w.resize(400, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QApplication::processEvents();
    PaintCounter counter;
    w.installEventFilter(&counter);

    QApplication::processEvents();
    ASSERT_EQ(counter.paints, 0) << "nothing pending before update()";
    w.update();
    EXPECT_EQ(counter.paints, 0) << "update() only schedules";
    QApplication::processEvents();
    EXPECT_GE(counter.paints, 1);
    w.removeEventFilter(&counter);
}
