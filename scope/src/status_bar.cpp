#include <tellurix/lumenfold/scope/status_bar.h>

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QSizePolicy>
#include <QVariant>

#include <algorithm>
#include <stdexcept>

namespace tellurix::lumenfold::scope {

namespace {

// The permanent fields, left to right. Add a readout here; feed it with set_field().
//   pause     the Pause/Run button (a widget, not a text field; see ScopeWindow)
//   paused    "paused, N items applied since"
//   measure   the middle-button measurement
//   endpoint  where the queue listens
//   rate      items taken per second
//   backlog   items and MiB waiting in the queue
//   held      what the datasets hold against their limits
//   log       the count of warnings and errors
//   recording the file being recorded and its size, or why recording stopped
//   (after it: the progress bar of a recording being opened; see ScopeWindow)
// (The value under the cursor is not a field: it shares the message's place; see
// set_readout.)
const char* const field_names[] = {"paused",  "measure", "endpoint", "rate",
                                   "backlog", "held",    "log",      "recording"};

// The width, in average characters, at which a path shown in a field is shortened.
constexpr int max_path_chars = 26;
// The least width, in pixels, the message keeps beside the fields.
constexpr int message_min_width = 160;

} // namespace

StatusBar::StatusBar(QWidget* parent)
    : QStatusBar(parent) {
    message_label_ = new QLabel(this);
    message_label_->setObjectName(QStringLiteral("message"));
    // Ignored: the message takes what the fields leave, above its minimum below.
    message_label_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Room for the start of a warning at any width: the window grows rather than hide it.
    message_label_->setMinimumWidth(message_min_width);
    addWidget(message_label_, 1);
    // The room changes with the fields' widths too, not only with the bar's.
    message_label_->installEventFilter(this);
    for (const char* name : field_names) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        // A rule before each field: side by side, "0 items/s held 17 rows" read as one.
        label->setStyleSheet(
            QStringLiteral("QLabel { border-left: 1px solid palette(mid); padding-left: 6px; }"));
        label->hide();
        addPermanentWidget(label);
        fields_.insert(QString::fromLatin1(name), label);
    }
    message_timer_.setSingleShot(true);
    connect(&message_timer_, &QTimer::timeout, this, [this] { show_message({}); });
}

QLabel* StatusBar::field_label(const QString& name) const {
    QLabel* label = fields_.value(name);
    if (!label)
        throw std::logic_error("StatusBar: no field named " + name.toStdString());
    return label;
}

void StatusBar::set_field(const QString& name, const QString& text, const QString& tooltip) {
    QLabel* label = field_label(name);
    QString shown = text;
    QString tip = tooltip;
    // A path (an ipc endpoint, a recording's file) can be long enough to leave the message
    // no room at all; its middle is left out and the whole of it is the tooltip.
    if (name == QLatin1String("endpoint") || name == QLatin1String("recording")) {
        const QFontMetrics metrics = label->fontMetrics();
        shown =
            metrics.elidedText(text, Qt::ElideMiddle, metrics.averageCharWidth() * max_path_chars);
        if (shown != text)
            tip = tooltip.isEmpty() ? text : text + QLatin1Char('\n') + tooltip;
    }
    label->setProperty("full_text", text);
    if (label->text() != shown)
        label->setText(shown);
    if (label->toolTip() != tip)
        label->setToolTip(tip);
    label->setVisible(!text.isEmpty());
}

QString StatusBar::field(const QString& name) const {
    return field_label(name)->property("full_text").toString();
}

void StatusBar::show_message(const QString& text, int timeout_ms) {
    message_ = text;
    elide();
    if (timeout_ms > 0 && !text.isEmpty())
        message_timer_.start(timeout_ms);
    else
        message_timer_.stop();
}

void StatusBar::set_readout(const QString& text, const QString& tooltip) {
    readout_ = text;
    readout_tooltip_ = tooltip;
    elide();
}

QString StatusBar::shown_message() const {
    return message_label_->text();
}

bool StatusBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == message_label_ && event->type() == QEvent::Resize)
        elide();
    return QStatusBar::eventFilter(watched, event);
}

void StatusBar::elide() {
    // A message goes before the readout: a warning is not hidden by a moving mouse, and
    // the readout comes back when the message's time is over.
    const bool message = !message_.isEmpty();
    message_label_->setToolTip(message ? message_ : readout_tooltip_);
    // One line: a message with line breaks would otherwise grow the bar.
    QString line = message ? message_ : readout_;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const int room = message_label_->contentsRect().width();
    message_label_->setText(
        message_label_->fontMetrics().elidedText(line, Qt::ElideRight, std::max(0, room)));
}

} // namespace tellurix::lumenfold::scope
