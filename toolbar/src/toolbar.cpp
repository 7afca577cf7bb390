#include "slot_p.h"

#include <tellurix/lumenfold/config.h>
#include <tellurix/lumenfold/toolbar.h>

#include <QTextDocument>

namespace tellurix::lumenfold::toolbar {

using detail::guarded;
using detail::NamedSlot;

namespace {
// Shown on a pattern field whose pattern the matcher rejected.
const char* const kInvalidProperty = "lumenfoldInvalidPattern";

// Qt shows a tooltip as rich text exactly when Qt::mightBeRichText says it might be; column
// names come from any producer and must never become markup, so such a text is escaped.
QString plain_tool_tip(const QString& text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}
} // namespace

ToolBar::ToolBar()
    : QWidget(nullptr) {
    mode = QStringLiteral("P");
    setStyleSheet(config::style);

    // Toolbar-owned widgets get their parent at once: the radio buttons are exclusive as
    // siblings, and nothing leaks if a later step throws.
    pb = new QRadioButton(QStringLiteral("Points"), this);
    pb->setChecked(true);
    // Connected only after the check, so that construction never runs toggle_mode.
    connect(pb, &QRadioButton::toggled, this,
            [this](bool) { guarded("ToolBar::toggle_mode", [this] { toggle_mode(); }); });
    tb = new QRadioButton(QStringLiteral("Traces"), this);
    connect(tb, &QRadioButton::toggled, this,
            [this](bool) { guarded("ToolBar::toggle_mode", [this] { toggle_mode(); }); });

    ytxt_lb = new QLabel(QStringLiteral("(X,Y)"), this);
    ytxt_lb->setAlignment(qt_compat::AlignRight);
    fx_lb = new QLabel(QStringLiteral("fx"), this);
    fx_lb->setAlignment(qt_compat::AlignRight);
    fy_lb = new QLabel(QStringLiteral("fy"), this);
    fy_lb->setAlignment(qt_compat::AlignRight);

    auto make_bundle = [this] {
        auto bundle = std::make_unique<SelectionBundle>();
        bundle->set_on_change_event_actions(
            NamedSlot{"ToolBar::textEdited", [this] { textEdited(); }},
            NamedSlot{"ToolBar::generateXYFM", [this] { generateXYFM(); }},
            NamedSlot{"ToolBar::link_edited", [this] { link_edited(); }});
        return bundle;
    };
    auto points = make_bundle();
    auto traces = make_bundle();
    ps = std::move(points);
    ts = std::move(traces);

    xypairs = XYPairs();
    xypairs_dirty = true;
    fx = std::nullopt;
    fy = std::nullopt;
    xyfm_dirty = true;
    link_dirty = true;
    lx = false;
    ly = false;

    layout = new QGridLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    setLayout(layout);
    layout->addWidget(pb, 0, 0);
    layout->addWidget(tb, 0, 1);
    layout->addWidget(ytxt_lb, 0, 2);
    layout->addWidget(fx_lb, 0, 4);
    layout->addWidget(fy_lb, 0, 6);

    AR = new QPushButton(QStringLiteral("AR"), this);
    AR->setMaximumWidth(30);
    AR->setToolTip(QStringLiteral("Auto Range"));
    CR = new QPushButton(QStringLiteral("CLR"), this);
    CR->setMaximumWidth(30);
    CR->setToolTip(QStringLiteral("Clearing History Plots"));
    CR_flag = false;
    layout->addWidget(AR, 0, 8);
    layout->addWidget(CR, 0, 9);

    refresh_layout();
}

// The bundles go first (members die before the QWidget base): each deletes its shown
// controls out of this widget and its hidden ones outright, with their signals blocked.
ToolBar::~ToolBar() = default;

QStringList ToolBar::column_names() const {
    if (!mainwindow)
        throw NoHostError(QStringLiteral("ToolBar::column_names"));
    // Both families are read on every call, so a host whose boxes fail is found out
    // whichever family is current.
    const QStringList points = mainwindow->point_data_box().column_names();
    const QStringList traces = mainwindow->trace_data_box().column_names();
    return mode == QLatin1String("T") ? traces : points;
}

SelectionBundle& ToolBar::selections() {
    return mode == QLatin1String("T") ? *ts : *ps;
}

void ToolBar::set_trace_text(const QString& text) {
    ts->stx->set_text(text);
}

void ToolBar::set_trace_text(const host::Value& text) {
    set_trace_text(text.as_str("set_trace_text", "text"));
}

void ToolBar::set_trace_text(const char* text) {
    // A null pointer is none, refused like any other non-str.
    set_trace_text(text ? host::Value(text) : host::Value());
}

void ToolBar::set_point_text(const QString& text) {
    ps->stx->set_text(text);
}

void ToolBar::set_point_text(const host::Value& text) {
    set_point_text(text.as_str("set_point_text", "text"));
}

void ToolBar::set_point_text(const char* text) {
    // A null pointer is none, refused like any other non-str.
    set_point_text(text ? host::Value(text) : host::Value());
}

std::pair<bool, bool> ToolBar::sharexy() const {
    const SelectionBundle& current = mode == QLatin1String("T") ? *ts : *ps;
    return {current.linkx->isChecked(), current.linky->isChecked()};
}

void ToolBar::set_mainwindow(host::HostWindow* mainwindow) {
    if (!mainwindow)
        throw TypeError(QStringLiteral("set_mainwindow"), QStringLiteral("mainwindow"),
                        QStringLiteral("HostWindow"), QStringLiteral("none"));
    this->mainwindow = mainwindow;
    // Bound to this host, as a connection to its method would be: a later set_mainwindow
    // adds its own connection beside this one.
    connect(AR, &QPushButton::clicked, this, [mainwindow](bool) {
        guarded("ToolBar::all_enable_auto_range",
                [mainwindow] { mainwindow->all_enable_auto_range(); });
    });
    connect(CR, &QPushButton::clicked, this,
            [this](bool) { guarded("ToolBar::CR_action", [this] { CR_action(); }); });
}

void ToolBar::AR_action() {
    if (!mainwindow)
        throw NoHostError(QStringLiteral("ToolBar::AR_action"));
    mainwindow->enable_all_auto_range();
}

void ToolBar::CR_action() {
    CR_flag = true;
}

void ToolBar::refresh_layout() {
    if (mode == QLatin1String("P")) {
        ts->rm4l();
        ps->a2l(layout);
    } else if (mode == QLatin1String("T")) {
        ps->rm4l();
        ts->a2l(layout);
    }
}

void ToolBar::toggle_mode() {
    if (pb->isChecked())
        mode = QStringLiteral("P");
    else if (tb->isChecked())
        mode = QStringLiteral("T");
    refresh_layout();
    refresh_comb();
}

void ToolBar::refresh_comb() {
    generateXYFM();
    textEdited();
    ytxt_lb->setToolTip(plain_tool_tip(host::text_form(host::Value::str_list(column_names()))));
}

void ToolBar::link_edited() {
    link_dirty = true;
}

void ToolBar::generateXYFM() {
    SelectionBundle& current = selections();
    fx = current.fx->currentText();
    fy = current.fy->currentText();
    lx = current.lx->isChecked();
    ly = current.ly->isChecked();
    xyfm_dirty = true;
}

void ToolBar::textEdited() {
    LineEdit* field = selections().stx;
    const QString text = field->text();
    const QStringList names = column_names();
    XYPairs pairs;
    try {
        pairs = matched_xy_pairs(text, names);
    } catch (const PatternError& e) {
        mark_pattern(field, QString::fromUtf8(e.what()));
        throw;
    }
    mark_pattern(field, QString());
    if (pairs != xypairs)
        xypairs_dirty = true;
    xypairs = std::move(pairs);
}

void ToolBar::mark_pattern(LineEdit* field, const QString& problem) {
    const bool invalid = !problem.isEmpty();
    if (field->property(kInvalidProperty).toBool() == invalid && !invalid)
        return;
    field->setProperty(kInvalidProperty, invalid);
    field->setToolTip(problem);
    field->setStyleSheet(invalid ? QStringLiteral("QLineEdit { border: 1px solid red; }")
                                 : QString());
}

} // namespace tellurix::lumenfold::toolbar
