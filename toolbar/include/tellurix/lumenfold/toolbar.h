// Lumenfold selection toolbar: the single-row strip in which the user picks the data
// family (points or traces), types the (X,Y) column-pair pattern and chooses value
// formats, logarithmic axes and axis sharing. The toolbar publishes these choices as
// plain members with dirty flags; the host reads them when it redraws and clears the
// flags itself. Everything here lives on the GUI thread.
#pragma once

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/toolbar_export.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace tellurix::lumenfold::toolbar {

/// (X column name, Y column name).
using XYPair = std::pair<QString, QString>;
using XYPairs = std::vector<XYPair>;

/// Every ordered pair (x, y) of `lst` × `lst`, in product order (by the position of x,
/// then of y), whose text "x,y" is matched completely by one of the items of `patterns`.
///
/// Spaces (U+0020 only) are removed from `patterns`, which is then split at ";" into
/// regular expressions (PCRE2, case-sensitive). An item accepts a candidate when the match
/// that starts at the first character, found with the usual leftmost-first backtracking
/// rules, covers the whole candidate: "u,u|u,uv" does not accept "u,uv". The first
/// accepting item wins, so a pair occurs at most once per pair of positions; duplicate
/// names give duplicate pairs. An empty item never accepts (every candidate holds ",").
/// A name that is not valid UTF-16 (a lone surrogate) is in no pair.
///
/// Only the pairs an item could accept are tried: an item that begins or ends with plain
/// name text ("t,volts", "t,ch[0-9]+", ".*_temp") is tried on the names that fit it, so a
/// text of empty items costs nothing and "t,volts" costs one look at each name.
///
/// Throws PatternError when a candidate reaches an item the engine rejects (an item never
/// reached, e.g. with an empty `lst`, is never looked at), when an item backtracks
/// beyond the match budget on some candidate, and, before any pair is tried, when the
/// items leave more than 1,000,000 (item, pair) checks to make ("12,000 names give
/// 144,000,000 pairs to check ...; narrow the pattern") or there are more than 8,000,000
/// / n different items, so that neither a pathological item nor a long name list freezes
/// the GUI. No partial result is returned.
LUMENFOLD_TOOLBAR_EXPORT XYPairs matched_xy_pairs(const QString& patterns, const QStringList& lst);

/// A drop-down list of value-format words with one change callback.
class LUMENFOLD_TOOLBAR_EXPORT FormatCombo : public QComboBox {
    Q_OBJECT
public:
    /// No parent, no items; whoever lays it out gives it a parent.
    FormatCombo();

    /// The callback set_idx fires; empty means none.
    std::function<void()> on_change_callable;

    /// Stores `callback` for set_idx and connects `activated` (the user chose an item, also
    /// the one already current) to it. A second call adds a second connection; nothing is
    /// ever disconnected. An exception thrown by the callback while Qt delivers `activated`
    /// is caught there and reported once on the warning channel.
    void set_on_change_event_action(std::function<void()> callback);

    /// Makes item `idx` current (an index outside the list leaves no current item), then
    /// calls on_change_callable once, also when nothing changed. Whatever the callback
    /// throws reaches the caller; the index is already set by then.
    void set_idx(int idx);
    /// Only int is an index: no bool, floating-point or other implicit conversion.
    template <typename T,
              std::enable_if_t<!std::is_integral_v<T> || std::is_same_v<T, bool>, int> = 0>
    void set_idx(T) = delete;
};

/// Formats of the X data: "real", "imag", "mag", "phase"; starts at "real".
class LUMENFOLD_TOOLBAR_EXPORT XFormatCombo : public FormatCombo {
    Q_OBJECT
public:
    XFormatCombo();
};

/// Formats of the Y data: "mag", "phase", "real", "imag"; starts at "mag".
class LUMENFOLD_TOOLBAR_EXPORT YFormatCombo : public FormatCombo {
    Q_OBJECT
public:
    YFormatCombo();
};

/// The one-line (X,Y) pattern field with one change callback.
class LUMENFOLD_TOOLBAR_EXPORT LineEdit : public QLineEdit {
    Q_OBJECT
public:
    /// Empty text, no parent.
    LineEdit();

    /// The callback set_text fires; empty means none.
    std::function<void()> on_change_callable;

    /// Stores `callback` for set_text and connects `editingFinished` (Return or Enter, or
    /// the field losing focus, which includes being taken out of its window) to it. Adds a
    /// connection on every call. Exceptions thrown while Qt delivers the signal are caught
    /// there and reported once on the warning channel.
    void set_on_change_event_action(std::function<void()> callback);

    /// Shows `w`, then calls on_change_callable once, also when the text was already shown.
    /// Whatever the callback throws reaches the caller.
    void set_text(const QString& w);
};

/// The seven selection controls of one data family. Not a widget: a holder that owns its
/// controls for its whole life, whether they sit in a toolbar row (then they have the
/// row's widget as Qt parent) or are taken out (then they have no parent). Destroying the
/// bundle destroys the controls in both cases, with their signals blocked, so no callback
/// runs from a dying bundle. A control that someone else destroyed first is skipped.
class LUMENFOLD_TOOLBAR_EXPORT SelectionBundle {
public:
    SelectionBundle();
    ~SelectionBundle();
    SelectionBundle(const SelectionBundle&) = delete;
    SelectionBundle& operator=(const SelectionBundle&) = delete;
    SelectionBundle(SelectionBundle&&) = delete;
    SelectionBundle& operator=(SelectionBundle&&) = delete;

    LineEdit* stx;           ///< the (X,Y) pattern text, starts empty
    XFormatCombo* fx;        ///< X value format, starts at "real"
    YFormatCombo* fy;        ///< Y value format, starts at "mag"
    QCheckBox* lx;           ///< "logX", unchecked
    QCheckBox* ly;           ///< "logY", unchecked
    QCheckBox* linkx;        ///< "ShareX", unchecked
    QCheckBox* linky;        ///< "ShareY", unchecked
    QList<host::Value> sels; ///< kept for the host; the panel never reads or changes it

    /// Wires stx to `on_text_edited` (editingFinished and set_text), fx and fy to
    /// `on_format_changed` (activated and set_idx), the logX and logY boxes' `toggled` to
    /// `on_format_changed` as well, and the ShareX and ShareY boxes' `toggled` to
    /// `on_log_scale_marker_changed`. Call once, right after construction.
    void set_on_change_event_actions(std::function<void()> on_text_edited,
                                     std::function<void()> on_format_changed,
                                     std::function<void()> on_log_scale_marker_changed);

    /// Puts the controls into row 0 of `layout`: stx at column 3, fx at 5, fy at 7, the
    /// four boxes at 10 to 13. The layout's widget becomes their parent, and they show with
    /// it (a control the host hid itself before rm4l stays hidden).
    void a2l(QGridLayout* layout);
    /// Takes the controls out of their parent (and so out of its layout); they become
    /// parentless and hidden (never stray windows) and keep their text, current items,
    /// check states and connections. Harmless on a bundle that is not laid out.
    void rm4l();

private:
    void put(QGridLayout* layout, QWidget* w, int column);

    // stx, fx, fy, lx, ly, linkx, linky: null once something else destroyed the control.
    std::array<QPointer<QWidget>, 7> owned_;
    // Controls that were hidden on purpose when rm4l took them out; a2l keeps them hidden.
    std::array<bool, 7> held_hidden_{};
};

/// The selection toolbar. The host creates it (no arguments, no parent), places it in its
/// window and must call set_mainwindow before anything reads column_names (a re-match,
/// refresh_comb, a mode switch, set_point_text/set_trace_text).
///
/// Published state: xypairs, fx, fy, lx, ly, sharexy() and CR_flag. The toolbar only ever
/// sets xypairs_dirty, xyfm_dirty, link_dirty and CR_flag; the host clears them once it
/// has acted on them.
///
/// Errors: direct calls propagate what they raise (NoHostError before set_mainwindow,
/// PatternError from the pattern, TypeError for a non-str text). When the same operations
/// run from Qt's signal delivery (the user finished an edit, switched the mode, clicked a
/// button), the error is caught at the slot, reported once on the warning channel as
/// "ToolBar::<operation>: <error>" and the toolbar keeps running with its values and flags
/// as the failed operation left them. A pattern field whose pattern the matcher rejected
/// shows a red frame and the error as its tooltip until a pattern is accepted.
class LUMENFOLD_TOOLBAR_EXPORT ToolBar : public QWidget {
    Q_OBJECT
public:
    ToolBar();
    ~ToolBar() override;

    QString mode;                        ///< "P" (points) or "T" (traces)
    QRadioButton* pb;                    ///< "Points"
    QRadioButton* tb;                    ///< "Traces"
    QLabel* ytxt_lb;                     ///< "(X,Y)"; its tooltip lists the current column names
    QLabel* fx_lb;                       ///< "fx"
    QLabel* fy_lb;                       ///< "fy"
    std::unique_ptr<SelectionBundle> ps; ///< points controls, owned
    std::unique_ptr<SelectionBundle> ts; ///< traces controls, owned

    XYPairs xypairs;           ///< pairs last matched; always replaced, never edited in place
    bool xypairs_dirty;        ///< set when xypairs changed (order counts)
    std::optional<QString> fx; ///< X format last read; none until first read
    std::optional<QString> fy; ///< Y format last read
    bool xyfm_dirty;           ///< set on every re-read of fx, fy, lx, ly
    bool link_dirty;           ///< set when a ShareX/ShareY box is toggled
    bool lx;                   ///< logX last read
    bool ly;                   ///< logY last read

    /// The row. Hides QWidget::layout() on purpose: hosts and tests address it by this name.
    QGridLayout* layout;
    QPushButton* AR; ///< "AR": the host's all_enable_auto_range, once set_mainwindow ran
    QPushButton* CR; ///< "CLR": sets CR_flag, once set_mainwindow ran
    bool CR_flag;    ///< a clear-history request is pending
    host::HostWindow* mainwindow = nullptr; ///< not owned

    /// Column names of the current family, read through the host's data boxes (both are
    /// read on every call). Throws NoHostError before set_mainwindow.
    QStringList column_names() const;
    /// ps in mode "P", ts in mode "T".
    SelectionBundle& selections();

    /// Writes `text` into the traces pattern field (whatever the mode), which then runs
    /// textEdited: the current family's pattern is matched again.
    void set_trace_text(const QString& text);
    /// As above; anything but a str throws TypeError naming `text` before anything changes.
    void set_trace_text(const host::Value& text);
    /// Writes `text` into the points pattern field (whatever the mode), then textEdited.
    void set_point_text(const QString& text);
    void set_point_text(const host::Value& text);
    /// String literals take the QString path (UTF-8); a null pointer is none: TypeError.
    void set_trace_text(const char* text);
    void set_point_text(const char* text);

    /// (ShareX checked, ShareY checked) of the current bundle.
    std::pair<bool, bool> sharexy() const;

    /// Stores the host (not owned; it must outlive the toolbar) and connects AR.clicked to
    /// its all_enable_auto_range and CR.clicked to CR_action. Calling it again adds a second
    /// pair of connections. A null host throws TypeError.
    void set_mainwindow(host::HostWindow* mainwindow);

    /// Calls the host's enable_all_auto_range; NoHostError before set_mainwindow.
    void AR_action();
    /// CR_flag = true.
    void CR_action();
    /// Puts the current bundle into the row, after taking the other one out.
    void refresh_layout();
    /// Derives mode from the radio buttons, then refresh_layout and refresh_comb.
    void toggle_mode();
    /// generateXYFM, textEdited, then the "(X,Y)" tooltip = the names as ['t', 'volts'].
    void refresh_comb();
    /// link_dirty = true.
    void link_edited();
    /// Re-reads fx, fy, lx, ly from the current bundle; xyfm_dirty = true.
    void generateXYFM();
    /// Re-matches the current pattern against the current column names; replaces xypairs
    /// and sets xypairs_dirty when the pairs differ. On an error nothing is changed.
    void textEdited();

private:
    void mark_pattern(LineEdit* field, const QString& problem);
};

} // namespace tellurix::lumenfold::toolbar
