#include "name_label.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

#include <algorithm>

namespace tellurix::lumenfold::chartpane::detail {

namespace {

// A name may hold line breaks, tabs and other control characters; on one line they are
// blanks, so the label keeps one line's height and never runs down over the plot.
QString oneLine(const QString& text) {
    QString line = text;
    for (QChar& c : line) {
        const QChar::Category cat = c.category();
        if (cat == QChar::Other_Control || cat == QChar::Separator_Line ||
            cat == QChar::Separator_Paragraph)
            c = QLatin1Char(' ');
    }
    return line;
}

} // namespace

QString plainToolTip(const QString& text) {
    // Qt shows a tooltip as rich text exactly when this says it might be; a name must never
    // become markup (a heading, an image loaded from a local path).
    if (!Qt::mightBeRichText(text))
        return text;
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

NameLabel::NameLabel(QWidget* parent)
    : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    if (parent != nullptr)
        parent->installEventFilter(this);
}

void NameLabel::setName(const QString& text) {
    line_ = oneLine(text);
    setText(text);
    fit();
}

QSize NameLabel::sizeHint() const {
    const QMargins m = contentsMargins();
    const int extra = 2 * margin();
    const QFontMetrics fm = fontMetrics();
    return {fm.horizontalAdvance(line_) + m.left() + m.right() + extra,
            fm.height() + m.top() + m.bottom() + extra};
}

QSize NameLabel::minimumSizeHint() const {
    return {0, sizeHint().height()};
}

// The label takes the width its text needs, up to the right edge of its parent; what does not
// fit is cut with an ellipsis, and the whole text is in the tooltip then.
void NameLabel::fit() {
    const QSize want = sizeHint();
    int width = want.width();
    if (const QWidget* parent = parentWidget())
        width = std::min(width, std::max(0, parent->width() - x()));
    resize(width, want.height());
    const bool whole = width >= want.width() && line_ == text();
    setToolTip(whole ? QString() : plainToolTip(text()));
    update();
}

void NameLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    // elidedText measures a little differently from horizontalAdvance, by which the label was
    // sized: a text that fits is drawn whole, not cut to its ellipsis by a fraction of a pixel.
    const QFontMetrics fm = fontMetrics();
    const QString shown = fm.horizontalAdvance(line_) <= area.width()
                              ? line_
                              : fm.elidedText(line_, Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(),
                          shown, foregroundRole());
}

bool NameLabel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        fit();
    return QLabel::eventFilter(watched, event);
}

} // namespace tellurix::lumenfold::chartpane::detail
