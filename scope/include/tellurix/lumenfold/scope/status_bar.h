// The scope's status bar: a message on the left that is elided to the room it has (never
// drawn under the fields), and named permanent fields on the right. Every permanent field
// is declared in one list (status_bar.cpp), so a new readout is one line there plus the
// set_field() calls that feed it.
#pragma once

#include <QHash>
#include <QStatusBar>
#include <QString>
#include <QTimer>

class QLabel;

namespace tellurix::lumenfold::scope {

class StatusBar : public QStatusBar {
    Q_OBJECT

public:
    explicit StatusBar(QWidget* parent = nullptr);

    /// Sets the text of a declared field (an unknown name throws std::logic_error). An
    /// empty text hides the field. The tooltip, when given, explains the figure. A long
    /// path (the endpoint, the recording's file) is shown without its middle; field()
    /// and the tooltip keep the whole text.
    void set_field(const QString& name, const QString& text, const QString& tooltip = {});
    QString field(const QString& name) const;
    QLabel* field_label(const QString& name) const;

    /// Shows `text` on the left for `timeout_ms` (0: until the next message). A text wider
    /// than the room left by the fields is elided; the whole text is the tooltip.
    void show_message(const QString& text, int timeout_ms = 0);
    /// The value under the cursor (empty: none). It takes the message's place, which never
    /// moves the fields, and is shown while no message is; elided like a message.
    void set_readout(const QString& text, const QString& tooltip = {});
    QString readout() const { return readout_; }
    /// The whole text of the current message, and what is drawn of it (or of the readout).
    QString message() const { return message_; }
    QString shown_message() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void elide();

    QLabel* message_label_ = nullptr;
    QString message_;
    QString readout_, readout_tooltip_;
    QTimer message_timer_;
    QHash<QString, QLabel*> fields_;
};

} // namespace tellurix::lumenfold::scope
