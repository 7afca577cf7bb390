#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/config.h>

#include "name_label.h"

#include <QBrush>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPen>

#include <stdexcept>
#include <string>
#include <utility>

namespace tellurix::lumenfold::chartpane {

// Decided when the library is loaded. The host library is loaded (and its facility
// installed) before this one, since we link against it.
bool hasCliper = host::clipboard() != nullptr;

namespace {

std::shared_ptr<std::vector<QColor>> resolve_colors(std::shared_ptr<std::vector<QColor>> given) {
    const std::shared_ptr<std::vector<QColor>>& defaults = config::defualt_colors;
    if (!given)
        return defaults;
    // A short palette grows in place, so the caller sees the colours the curves got.
    if (given->size() < defaults->size())
        given->insert(given->end(), defaults->begin() + static_cast<std::ptrdiff_t>(given->size()),
                      defaults->end());
    return given;
}

// The settings promise an entry for every curve key; a broken promise must fail the
// construction with a message that names the key and the list, not index past the end.
template <typename T>
const T& entry_for_key(const std::vector<T>& list, int key, const char* list_name) {
    if (key < 0 || static_cast<std::size_t>(key) >= list.size())
        throw std::out_of_range("PlotWidget: curve key " + std::to_string(key) +
                                " has no entry in " + list_name + " (" +
                                std::to_string(list.size()) + " entries)");
    return list[static_cast<std::size_t>(key)];
}

bool is_text(const QString& text, char lower, char upper) {
    return text.size() == 1 &&
           (text.at(0) == QLatin1Char(lower) || text.at(0) == QLatin1Char(upper));
}

} // namespace

PlotWidget::PlotWidget(int minimum_height, std::shared_ptr<std::vector<QColor>> colors_)
    : plotting::PlotWidgetBase() {
    // The base is necessarily built before any member is assigned; the steps before it
    // touch only this widget's own fields (and the caller's palette), so nothing else
    // can tell the difference.
    XAxisLinked = false;
    YAxisLinked = false;
    colors = resolve_colors(std::move(colors_));
    xname = host::Value(QString());
    yname = host::Value(QString());

    setMinimumHeight(minimum_height);
    showGrid(true, true);
    setBackground(config::COL_UNSEL);
    plotItem()->vb()->autoRange();

    auto* x_label = new detail::NameLabel(this);
    x_label->move(0, 5);
    x_label->setName(QStringLiteral("X:"));
    XLabel = x_label;
    auto* y_label = new detail::NameLabel(this);
    y_label->move(0, 35);
    y_label->setName(QStringLiteral("Y:"));
    YLabel = y_label;

    plots.clear();
    clippos1 = 0;
    clippos2 = 0;
    range_select = false;

    for (const int key : config::ridx) {
        const QColor& color = entry_for_key(*colors, key, "colors");
        plotting::CurveStyle style;
        style.pen = QPen(color, entry_for_key(config::widths, key, "widths"));
        style.symbolBrush = QBrush(color);
        style.symbolPen = QPen(color, 0);
        style.symbolSize = entry_for_key(config::SymSize, key, "SymSize");
        plots[key] = plot({}, {}, style);
    }
    update();
}

void PlotWidget::set_axis_label(QLabel* label, const char* prefix, const host::Value& w) {
    const QString text = QLatin1String(prefix) + host::text_form(w);
    // Names come from any producer: shown as plain text on one line, cut at this widget's
    // edge (see NameLabel). Without a layout a label keeps the size it was first shown with,
    // so it is sized to its text here.
    if (auto* name = dynamic_cast<detail::NameLabel*>(label)) {
        name->setName(text);
        return;
    }
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->adjustSize();
}

void PlotWidget::set_X_label(const host::Value& w) {
    xname = w;
    set_axis_label(XLabel, "X:", w);
}

void PlotWidget::set_Y_label(const host::Value& w) {
    yname = w;
    set_axis_label(YLabel, "Y:", w);
}

void PlotWidget::auto_range() {
    plotItem()->vb()->autoRange();
}

void PlotWidget::enable_auto_range() {
    plotItem()->vb()->enableAutoRange();
}

void PlotWidget::update() {
    plotting::PlotWidgetBase::update();
}

void PlotWidget::set_data(int i, QVector<double> x, QVector<double> y) {
    const auto found = plots.find(i);
    if (found == plots.end())
        throw std::out_of_range("PlotWidget::set_data: no curve with key " + std::to_string(i));
    found->second->setData(std::move(x), std::move(y));
}

// F and A act on press and again on release, as one keystroke delivers both; every key
// event then goes on to the base, which keeps its own keyboard handling.
void PlotWidget::key_event(QKeyEvent* ev, bool pressed) {
    const QString text = ev->text();
    if (is_text(text, 'f', 'F'))
        plotItem()->vb()->autoRange();
    if (is_text(text, 'a', 'A'))
        plotItem()->vb()->setAutoPan();
    if (is_text(text, 'r', 'R'))
        range_select = pressed;
    if (pressed)
        plotting::PlotWidgetBase::keyPressEvent(ev);
    else
        plotting::PlotWidgetBase::keyReleaseEvent(ev);
}

void PlotWidget::keyPressEvent(QKeyEvent* ev) {
    host::guarded("PlotWidget::keyPressEvent", [&] { key_event(ev, true); });
}

void PlotWidget::keyReleaseEvent(QKeyEvent* ev) {
    host::guarded("PlotWidget::keyReleaseEvent", [&] { key_event(ev, false); });
}

// The middle button belongs to measuring alone: it never reaches the base, with or
// without a clipboard, so the base cannot pan or zoom on it. The event is marked as
// handled: one routed up from the plot canvas would otherwise travel on to this very
// widget and be measured (and copied) a second time.
void PlotWidget::mousePressEvent(QMouseEvent* ev) {
    host::guarded("PlotWidget::mousePressEvent", [&] {
        if (ev->button() != Qt::MiddleButton) {
            plotting::PlotWidgetBase::mousePressEvent(ev);
            return;
        }
        ev->accept();
        if (hasCliper && host::clipboard())
            clippos1 = plotItem()->vb()->mapSceneToView(ev->pos()).x();
    });
}

void PlotWidget::mouseReleaseEvent(QMouseEvent* ev) {
    host::guarded("PlotWidget::mouseReleaseEvent", [&] {
        if (ev->button() != Qt::MiddleButton) {
            plotting::PlotWidgetBase::mouseReleaseEvent(ev);
            return;
        }
        ev->accept();
        host::Clipboard* const facility = hasCliper ? host::clipboard() : nullptr;
        if (!facility)
            return;
        clippos2 = plotItem()->vb()->mapSceneToView(ev->pos()).x();
        // Press then release position, unsorted and at full precision, so the text
        // pastes back to exactly the measured values.
        if (range_select)
            facility->copy(host::Value(host::text_form(host::Value(clippos1)) + QLatin1Char(',') +
                                       host::text_form(host::Value(clippos2))));
        else
            facility->copy(host::Value(clippos2));
    });
}

} // namespace tellurix::lumenfold::chartpane
