// Lumenfold plot view: the plot canvas with its fixed set of curves, the two axis-name
// labels, and its keyboard and middle-button interaction.
#pragma once

#include <tellurix/lumenfold/chartpane_export.h>
#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/plotting.h>

#include <QColor>
#include <QLabel>
#include <QVector>

#include <map>
#include <memory>
#include <vector>

class QKeyEvent;
class QMouseEvent;

namespace tellurix::lumenfold::chartpane {

/// Whether middle-button measuring may copy to the clipboard. Set once when the library
/// is loaded (true when a clipboard facility is installed at that moment) and read at
/// each middle-button event, so a host or a test may assign it later. True while no
/// facility is installed (host::clipboard() == nullptr) behaves as false.
LUMENFOLD_CHARTPANE_EXPORT extern bool hasCliper;

/// One plot area with one curve per curve key of config::ridx, grid lines on both axes,
/// the config::COL_UNSEL background and two labels, "X:" and "Y:", in its top-left corner.
///
/// Keys (on press and again on release, then always passed on to the base handler):
/// "f"/"F" fits the view to the data, "a"/"A" makes the view follow the newest data,
/// "r"/"R" holds range-selection mode while the key is down.
/// Middle button (never passed to the base handler): the X view coordinate of the press
/// goes to clippos1, that of the release to clippos2, and the release copies either
/// clippos2 (a number) or, in range-selection mode, the text "<clippos1>,<clippos2>".
/// Other buttons and the wheel keep the base widget's pan and zoom.
///
/// GUI thread only. Created without a parent; the host places and owns it.
class LUMENFOLD_CHARTPANE_EXPORT PlotWidget : public plotting::PlotWidgetBase {
    Q_OBJECT

public:
    /// `colors`: one colour per curve key, or nullptr for the shared default palette
    /// config::defualt_colors itself. A shorter list is extended in place (the caller's
    /// vector grows) with the default palette's tail; a longer one is used unchanged.
    /// Throws std::out_of_range when a key of config::ridx has no entry in the resolved
    /// colour list, config::widths or config::SymSize.
    explicit PlotWidget(int minimum_height = 300,
                        std::shared_ptr<std::vector<QColor>> colors = nullptr);

    /// Link flags kept for the host; the widget never reads them.
    bool XAxisLinked = false, YAxisLinked = false;
    /// The resolved palette, indexed by curve key (shared, not copied).
    std::shared_ptr<std::vector<QColor>> colors;
    /// The names last given to set_X_label / set_Y_label, unconverted ("" at first).
    host::Value xname, yname;
    /// Children of this widget at (0, 5) and (0, 35). They show their text as plain text on
    /// one line, cut with an ellipsis at this widget's right edge (the whole text is then in
    /// the tooltip); text() is the whole text.
    QLabel *XLabel = nullptr, *YLabel = nullptr;
    /// Curve key -> curve. The curves belong to the plot area; the set is fixed at
    /// construction.
    std::map<int, plotting::Curve*> plots;
    /// X view coordinates of the last middle-button press and release (0 until then).
    double clippos1 = 0, clippos2 = 0;
    /// True while R is held down.
    bool range_select = false;

    /// xname = w; the X label reads "X:" followed directly by host::text_form(w).
    void set_X_label(const host::Value& w);
    /// yname = w; the Y label reads "Y:" followed directly by host::text_form(w).
    void set_Y_label(const host::Value& w);
    /// Fits the view to the data shown, once.
    void auto_range();
    /// Fits the view now and after every later data change, until the user pans or zooms.
    void enable_auto_range();
    /// Schedules a repaint. Hides QWidget::update's overloads on purpose.
    void update();
    /// Replaces the whole data of the curve with key `i`. Throws std::out_of_range for a
    /// key the widget has no curve for, std::invalid_argument when x and y differ in
    /// length; either way no curve changes.
    void set_data(int i, QVector<double> x, QVector<double> y);

protected:
    void keyPressEvent(QKeyEvent* ev) override;
    void keyReleaseEvent(QKeyEvent* ev) override;
    void mousePressEvent(QMouseEvent* ev) override;
    void mouseReleaseEvent(QMouseEvent* ev) override;

private:
    void key_event(QKeyEvent* ev, bool pressed);
    void set_axis_label(QLabel* label, const char* prefix, const host::Value& w);
};

} // namespace tellurix::lumenfold::chartpane
