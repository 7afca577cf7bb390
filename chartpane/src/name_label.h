// The axis-name labels of a plot widget.
#pragma once

#include <QLabel>
#include <QString>

namespace tellurix::lumenfold::chartpane::detail {

/// A label for a column name that comes from a producer: its text is shown as plain text on a
/// single line (line breaks and other control characters as blanks) and cut with an ellipsis
/// at its parent's right edge, so that a long name stays inside its own plot. text() keeps the
/// whole text; so does the tooltip whenever the label shows less (and Qt never reads it as
/// rich text). A label showing its whole text has no tooltip.
class NameLabel final : public QLabel {
public:
    explicit NameLabel(QWidget* parent);

    /// Replaces the text, sizes the label to it (up to the edge) and sets the tooltip.
    void setName(const QString& text);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fit();
    QString line_; // the text as shown: one line
};

/// `text` as a tooltip shows it literally: unchanged unless Qt would take it for rich text,
/// which it then escapes.
QString plainToolTip(const QString& text);

} // namespace tellurix::lumenfold::chartpane::detail
