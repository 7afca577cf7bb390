#include <tellurix/lumenfold/scope/legend.h>

#include <QEvent>

namespace tellurix::lumenfold::scope {

Legend::Legend(QWidget* canvas)
    : QLabel(canvas) {
    setObjectName(QStringLiteral("legend"));
    setTextFormat(Qt::RichText);
    // Over the data, so it lets the mouse through to the plot and lets the curves show.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(255, 255, 255, 210));
    setPalette(p);
    setMargin(3);
    canvas->installEventFilter(this);
    hide();
}

QString Legend::age_name(std::size_t age, bool traces) {
    if (age == 0)
        return traces ? tr("trace") : tr("newest");
    return tr("%1 older").arg(age);
}

void Legend::set_entries(const std::vector<std::pair<QString, QColor>>& entries) {
    if (entries == entries_)
        return;
    entries_ = entries;
    QString html;
    for (const auto& [name, colour] : entries_) {
        if (!html.isEmpty())
            html += QStringLiteral("<br>");
        html += QStringLiteral("<span style='color:%1'>&#9632;&#9632;</span> %2")
                    .arg(colour.name(), name.toHtmlEscaped());
    }
    setText(html);
    place();
}

void Legend::set_wanted(bool wanted) {
    wanted_ = wanted;
    place();
}

void Legend::place() {
    const bool shown = wanted_ && !entries_.empty();
    if (shown) {
        adjustSize();
        const QWidget* canvas = parentWidget();
        move(std::max(0, canvas->width() - width() - 6), 6);
        raise();
    }
    setVisible(shown);
}

bool Legend::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        place();
    return QLabel::eventFilter(watched, event);
}

} // namespace tellurix::lumenfold::scope
