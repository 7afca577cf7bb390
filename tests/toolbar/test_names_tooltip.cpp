// The "(X,Y)" label's tooltip lists the column names as they are, whatever they hold.
#include <tellurix/lumenfold/toolbar.h>

#include <gtest/gtest.h>

#include <QTextDocument>

#include <ostream>
#include <string>

namespace lf = tellurix::lumenfold;
using lf::toolbar::ToolBar;

namespace {

struct Names : lf::host::DataBox {
    QStringList names;
    QStringList column_names() const override { return names; }
};

struct Host : lf::host::HostWindow {
    Names points, traces;
    lf::host::DataBox& point_data_box() override { return points; }
    lf::host::DataBox& trace_data_box() override { return traces; }
    void all_enable_auto_range() override {}
    void enable_all_auto_range() override {}
};

// What Qt shows for a tooltip's text: rich text when Qt::mightBeRichText says so (as QToolTip
// decides), the text itself otherwise.
QString as_shown(const QString& tip) {
    QTextDocument doc;
    if (Qt::mightBeRichText(tip))
        doc.setHtml(tip);
    else
        doc.setPlainText(tip);
    return doc.toPlainText();
}

struct TipCase {
    const char* name;
    QStringList names;
    QString shown;
};

void PrintTo(const TipCase& c, std::ostream* os) {
    *os << c.name;
}

class ColumnTooltip : public ::testing::TestWithParam<TipCase> {};

TEST_P(ColumnTooltip, ShowsTheNamesLiterally) {
    const TipCase& c = GetParam();
    Host host;
    host.points.names = c.names;
    ToolBar bar;
    bar.set_mainwindow(&host);
    bar.refresh_comb();
    EXPECT_EQ(as_shown(bar.ytxt_lb->toolTip()), c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ColumnTooltip,
    ::testing::Values(TipCase{"plain", {"t", "volts"}, "['t', 'volts']"},
                      TipCase{"heading", {"<h1>big</h1>", "t"}, "['<h1>big</h1>', 't']"},
                      TipCase{"image",
                              {"<img src=\"/nonexistent/x.png\">"},
                              "['<img src=\"/nonexistent/x.png\">']"},
                      TipCase{"entity", {"&lt;b&gt;", "<b>b</b>"}, "['&lt;b&gt;', '<b>b</b>']"},
                      TipCase{"angle_brackets_only", {"a<b", "c>d"}, "['a<b', 'c>d']"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
