// The main window of lumenfold-scope, and the worked example of a Lumenfold host: it owns
// the toolbar, the plot widgets, both datasets, the command queue and the CmdPump, applies
// pending commands on a steady timer with a bounded flush, and redraws from what the
// toolbar publishes (clearing each dirty flag once it has acted on it).
#pragma once

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/scope/datasets.h>
#include <tellurix/lumenfold/scope/formats.h>
#include <tellurix/lumenfold/scope/options.h>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class QAction;
class QDockWidget;
class QGridLayout;
class QIODevice;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QWidget;

namespace tellurix::lumenfold {
namespace toolbar {
class ToolBar;
}
namespace chartpane {
class PlotWidget;
}
namespace cmdpump {
class CmdPump;
}
namespace transport {
class ZmqQueue;
}
} // namespace tellurix::lumenfold

namespace tellurix::lumenfold::scope {

class CountingQueue;
class RateLimitedLog;
class Recorder;
class Replay;
class ScopeClipboard;
class Legend;
class StatusBar;

/// Writes the data of `plot` that lies inside its visible range as CSV: a header line
/// "curve,x,y", then one line per point, newest curve (key 0) first. Returns false (and the
/// reason in `error`) when the device cannot be written. (Not const: the plotting
/// adapter hands out its view box from a non-const plot item only.)
bool export_plot_csv(chartpane::PlotWidget& plot, QIODevice& device, QString* error);

/// The palette the scope gives its plot widgets: the newest curve in strong blue, each
/// older one lighter and greyer, so the history reads as history.
std::shared_ptr<std::vector<QColor>> history_palette();

class ScopeWindow : public QMainWindow, public host::HostWindow {
    Q_OBJECT

public:
    /// Binds the command queue at options.endpoint (transport::ZmqQueue) unless `queue` is
    /// given (an embedding host or a test may bring its own), and records what it receives
    /// from the first message on when options.record names a file. Throws
    /// std::runtime_error when the endpoint cannot be bound or the recording not created.
    /// Installs the scope's warning handler and clipboard facility for its lifetime; one
    /// ScopeWindow at a time.
    explicit ScopeWindow(const ScopeOptions& options, std::unique_ptr<host::Queue> queue = nullptr);
    ~ScopeWindow() override;

    // host::HostWindow
    host::DataBox& point_data_box() override { return points_; }
    host::DataBox& trace_data_box() override { return traces_; }
    void all_enable_auto_range() override;
    void enable_all_auto_range() override;

    toolbar::ToolBar& toolbar() { return *toolbar_; }
    PointDataset& points() { return points_; }
    TraceDataset& traces() { return traces_; }
    /// The plots in grid order; only the first visible_plots() are shown.
    const std::vector<chartpane::PlotWidget*>& plots() const { return plots_; }
    int visible_plots() const { return visible_; }
    /// Matched pairs that did not get a plot (more pairs than --plots).
    int hidden_pairs() const { return hidden_pairs_; }
    /// The endpoint the queue is bound to, as resolved by the transport.
    QString endpoint() const { return endpoint_; }
    std::uint64_t items_taken() const;
    int warnings() const { return warnings_; }
    int errors() const { return errors_; }
    /// The log panel's lines so far (warnings and rejected commands, newest last).
    QStringList log_lines() const;
    /// The text of the measurement readout in the status bar ("" before any measurement).
    QString measurement_text() const;
    /// Pause keeps the plots and their ranges as they are while commands go on being
    /// applied to the datasets; Run shows the newest state at once.
    void set_paused(bool paused);
    bool paused() const { return paused_; }
    /// Items applied to the datasets since the pause began (0 when running).
    std::uint64_t items_since_pause() const;
    StatusBar& status() { return *status_; }
    QDockWidget* log_dock() const { return log_dock_; }
    QAction* pause_action() const { return pause_action_; }
    QAction* legend_action() const { return legend_action_; }
    /// Where each shown plot's drawing area lies, in window coordinates.
    std::vector<QRect> plot_areas() const;
    /// One line per shown plot, for whoever checks a screenshot:
    /// `plot <i> <x> <y> <w> <h> <X name> <Y name>`, the drawing area in window
    /// coordinates and each name as a JSON string (in double quotes, with \n, \" and the
    /// like escaped), so that a name with blanks, quotes or line breaks keeps to its field
    /// and its line.
    QStringList plot_report() const;

    /// One frame: apply pending commands within the time budget, act on the toolbar's dirty
    /// flags, push new data to the plots whose data changed and repaint them. The timer
    /// calls it; tests and benchmarks may call it directly.
    void tick();

    /// The plot the user last worked in (clicked or focused), or the first one shown.
    chartpane::PlotWidget* current_plot() const;
    bool export_csv(const QString& file, QString* error);
    bool export_png(const QString& file, QString* error);

    /// Records every message the queue receives into `file` from now on (a recording
    /// already running is stopped first). False with the reason in `error` when the file
    /// cannot be created or the queue is not the scope's own ZmqQueue.
    bool start_recording(const QString& file, QString* error);
    /// Stops recording; true when everything received reached the file (or none ran).
    bool stop_recording();
    /// Whether a recording runs (false again once it stopped on a write failure).
    bool recording() const;
    /// Shows the recording `file` through the same intake as the live stream, loaded a
    /// slice per tick: `speed` 0 as fast as possible, X > 0 at X times the recorded pace.
    /// False with the reason in `error` for a file that is no readable recording.
    bool open_recording(const QString& file, double speed, QString* error);
    /// Whether an opened recording is still loading.
    bool replaying() const;
    /// The status bar's recording field ("" when nothing was recorded).
    QString recording_status() const;

signals:
    /// After each tick, once the plots that changed have been repainted.
    void frameDrawn();

private:
    void build_menus();
    void build_status_bar();
    void pump_commands();
    void redraw();
    void relayout();
    void apply_links();
    void apply_log_mode();
    chartpane::PlotWidget* make_plot();
    void attach_cursor_readout(chartpane::PlotWidget* plot);
    void show_empty(chartpane::PlotWidget* plot);
    void update_status();
    void on_warning(const QString& text);
    void append_log(const QString& line);
    void report_error(const QString& text);
    void reveal_log();
    void on_measurement(const host::Value& value);
    bool eventFilter(QObject* watched, QEvent* event) override;

    ScopeOptions options_;
    PointDataset points_;
    TraceDataset traces_;
    std::unique_ptr<CountingQueue> queue_;
    QString endpoint_;

    toolbar::ToolBar* toolbar_ = nullptr; // Qt child of the central widget
    std::unique_ptr<cmdpump::CmdPump> pump_;
    QWidget* grid_host_ = nullptr;
    QGridLayout* grid_ = nullptr;
    std::vector<chartpane::PlotWidget*> plots_;
    std::shared_ptr<std::vector<QColor>> palette_;
    chartpane::PlotWidget* current_ = nullptr;
    std::vector<int> ages_; // curve key of each age, newest first

    // What was last drawn, to push only what changed.
    struct Drawn {
        std::uint64_t uid = 0, revision = 0;
    };
    std::vector<std::vector<Drawn>> drawn_;
    std::vector<std::pair<QString, QString>> pairs_;
    QString mode_ = QStringLiteral("P");
    Format fx_ = Format::Real, fy_ = Format::Real;
    bool lx_ = false, ly_ = false;
    int visible_ = 0;
    int hidden_pairs_ = 0;

    QTimer timer_;
    std::chrono::steady_clock::time_point last_tick_{};
    QPlainTextEdit* log_ = nullptr;
    QDockWidget* log_dock_ = nullptr;
    StatusBar* status_ = nullptr;
    QAction* pause_action_ = nullptr;
    QAction* legend_action_ = nullptr;
    std::vector<Legend*> legends_; // one per plot, on its canvas
    bool legend_wanted_ = true;
    bool paused_ = false;
    std::uint64_t taken_at_pause_ = 0;
    bool log_revealed_ = false;
    bool held_back_warned_ = false; // one warning per episode of a producer held back
    QString rate_text_;
    // The queue when it is a ZmqQueue, made here or brought (not owned: queue_ holds it):
    // for its refusals and for recording.
    transport::ZmqQueue* zmq_ = nullptr;
    QElapsedTimer rate_clock_;
    std::uint64_t rate_items_ = 0;
    double rate_ = 0;
    int warnings_ = 0;
    int errors_ = 0;
    // Recording and replay (scope_recording.cpp).
    // False while a recording loading as fast as possible wants the redraw left out.
    bool step_recordings();
    void add_recording_actions(QMenu* file);
    void add_recording_status();
    void prepare_recording();
    void attach_recording(transport::ZmqQueue* queue);
    void step_replay();
    QElapsedTimer replay_drawn_;
    bool replay_posted_ = false, replay_fast_ = false;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<Replay> replay_;
    QProgressBar* replay_bar_ = nullptr;
    QAction* record_action_ = nullptr;
    std::unique_ptr<RateLimitedLog> stderr_log_; // the same, for runs nobody watches

    std::unique_ptr<ScopeClipboard> clipboard_;
    host::Clipboard* previous_clipboard_ = nullptr;
    host::WarningHandler previous_handler_;
};

} // namespace tellurix::lumenfold::scope
