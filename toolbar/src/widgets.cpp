#include "slot_p.h"

#include <tellurix/lumenfold/toolbar.h>

#include <algorithm>

namespace tellurix::lumenfold::toolbar {

using detail::deliver;

// ---------------------------------------------------------------------------
// FormatCombo
// ---------------------------------------------------------------------------

FormatCombo::FormatCombo()
    : QComboBox(nullptr) {}

void FormatCombo::set_on_change_event_action(std::function<void()> callback) {
    on_change_callable = callback;
    connect(this, QOverload<int>::of(&QComboBox::activated), this,
            [callback = std::move(callback)](int) { deliver(callback, "FormatCombo::activated"); });
}

void FormatCombo::set_idx(int idx) {
    setCurrentIndex(idx);
    if (on_change_callable)
        on_change_callable();
}

XFormatCombo::XFormatCombo() {
    addItem(QStringLiteral("real"));
    addItem(QStringLiteral("imag"));
    addItem(QStringLiteral("mag"));
    addItem(QStringLiteral("phase"));
}

YFormatCombo::YFormatCombo() {
    addItem(QStringLiteral("mag"));
    addItem(QStringLiteral("phase"));
    addItem(QStringLiteral("real"));
    addItem(QStringLiteral("imag"));
}

// ---------------------------------------------------------------------------
// LineEdit
// ---------------------------------------------------------------------------

LineEdit::LineEdit()
    : QLineEdit(nullptr) {}

void LineEdit::set_on_change_event_action(std::function<void()> callback) {
    on_change_callable = callback;
    connect(this, &QLineEdit::editingFinished, this,
            [callback = std::move(callback)] { deliver(callback, "LineEdit::editingFinished"); });
}

void LineEdit::set_text(const QString& w) {
    setText(w);
    if (on_change_callable)
        on_change_callable();
}

// ---------------------------------------------------------------------------
// SelectionBundle
// ---------------------------------------------------------------------------

SelectionBundle::SelectionBundle()
    : stx(new LineEdit())
    , fx(new XFormatCombo())
    , fy(new YFormatCombo())
    , lx(new QCheckBox(QStringLiteral("logX")))
    , ly(new QCheckBox(QStringLiteral("logY")))
    , linkx(new QCheckBox(QStringLiteral("ShareX")))
    , linky(new QCheckBox(QStringLiteral("ShareY")))
    , owned_{stx, fx, fy, lx, ly, linkx, linky} {}

SelectionBundle::~SelectionBundle() {
    // Block first: deleting a focused field can otherwise report a finished edit to an
    // owner that is itself being torn down.
    for (const QPointer<QWidget>& w : owned_) {
        if (w)
            w->blockSignals(true);
    }
    // A control still in a row is a Qt child of the row's widget; deleting it here takes
    // it out of that widget and its layout, so the widget will not delete it again.
    for (QPointer<QWidget>& w : owned_)
        delete w.data();
}

void SelectionBundle::set_on_change_event_actions(
    std::function<void()> on_text_edited, std::function<void()> on_format_changed,
    std::function<void()> on_log_scale_marker_changed) {
    stx->set_on_change_event_action(std::move(on_text_edited));
    fx->set_on_change_event_action(on_format_changed);
    fy->set_on_change_event_action(on_format_changed);
    auto box = [](QCheckBox* b, std::function<void()> callback) {
        QObject::connect(b, &QCheckBox::toggled, b, [callback = std::move(callback)](bool) {
            deliver(callback, "QCheckBox::toggled");
        });
    };
    box(lx, on_format_changed);
    box(ly, std::move(on_format_changed));
    box(linkx, on_log_scale_marker_changed);
    box(linky, std::move(on_log_scale_marker_changed));
}

void SelectionBundle::a2l(QGridLayout* layout) {
    int i = 3;
    for (QWidget* w :
         {static_cast<QWidget*>(stx), static_cast<QWidget*>(fx), static_cast<QWidget*>(fy)}) {
        put(layout, w, i);
        i += 2;
    }
    put(layout, lx, 10);
    put(layout, ly, 11);
    put(layout, linkx, 12);
    put(layout, linky, 13);
}

void SelectionBundle::rm4l() {
    for (std::size_t k = 0; k < owned_.size(); ++k) {
        QWidget* w = owned_[k];
        if (!w)
            continue;
        if (w->parentWidget())
            held_hidden_[k] = w->isHidden() && w->testAttribute(Qt::WA_WState_ExplicitShowHide);
        w->setParent(nullptr);
        // Explicitly hidden: a show that Qt queued when the control last entered a visible
        // row must not open it as a window of its own now that it has no parent (a switch
        // there and back before the event loop runs again).
        w->hide();
    }
}

void SelectionBundle::put(QGridLayout* layout, QWidget* w, int column) {
    layout->addWidget(w, 0, column);
    const auto k =
        static_cast<std::size_t>(std::find(owned_.begin(), owned_.end(), w) - owned_.begin());
    // Undo rm4l's hide, but keep a control the host had hidden itself hidden. Without a
    // parent (a layout not installed on a widget) showing would open a window.
    if (w->parentWidget() && k < owned_.size() && !held_hidden_[k])
        w->show();
}

} // namespace tellurix::lumenfold::toolbar
