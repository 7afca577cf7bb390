// A plot's legend: the curves that hold data, named by their age ("newest", "1 older",
// ...), each in its colour, in the top right corner of the plot's canvas.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>

#include <utility>
#include <vector>

namespace tellurix::lumenfold::scope {

class Legend : public QLabel {
    Q_OBJECT

public:
    /// A child of `canvas`, kept in its top right corner as it resizes.
    explicit Legend(QWidget* canvas);

    /// The entries, newest first: a name and its colour. None hides the legend.
    void set_entries(const std::vector<std::pair<QString, QColor>>& entries);
    const std::vector<std::pair<QString, QColor>>& entries() const { return entries_; }
    /// Whether the user wants it (View > Legend); it shows only with entries too.
    void set_wanted(bool wanted);

    /// The name of the curve of age `age` (0 newest) in points or traces mode.
    static QString age_name(std::size_t age, bool traces);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();

    std::vector<std::pair<QString, QColor>> entries_;
    bool wanted_ = true;
};

} // namespace tellurix::lumenfold::scope
