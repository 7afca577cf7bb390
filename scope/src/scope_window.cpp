#include <tellurix/lumenfold/scope/help.h>
#include <tellurix/lumenfold/scope/legend.h>
#include <tellurix/lumenfold/scope/readout.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>
#include <tellurix/lumenfold/scope/stderr_log.h>
#include <tellurix/lumenfold/scope/window_settings.h>

#include "tick_spacing.h"
#include "window_parts.h"

#include <tellurix/lumenfold/scope/hdf5_export.h>

#include "recorder.h"
#include "replay.h"

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/cmdpump.h>
#include <tellurix/lumenfold/config.h>
#include <tellurix/lumenfold/toolbar.h>
#include <tellurix/lumenfold/transport.h>

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDockWidget>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStatusBar>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tellurix::lumenfold::scope {

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// However slow the frames, the window answers the user at least this often.
constexpr auto max_budget = std::chrono::microseconds(250'000);

// Each dataset gets half: a stream of points cannot push the traces out, nor the reverse.
std::size_t memory_share(const ScopeOptions& options) {
    return (options.max_memory > 0 ? options.max_memory : default_max_memory()) / 2;
}

} // namespace

// ---------------------------------------------------------------------------
// ScopeWindow
// ---------------------------------------------------------------------------

ScopeWindow::ScopeWindow(const ScopeOptions& options, std::unique_ptr<host::Queue> queue)
    : options_(options)
    , points_(options.history, config::ridx.size(), memory_share(options))
    , traces_(options.traces, memory_share(options)) {
    // --record keeps the stream from its first message: the file is made before the queue
    // binds, and hooked in as soon as it has.
    prepare_recording();
    if (!queue) {
        const QString wanted =
            options.endpoint.isEmpty() ? transport::default_endpoint() : options.endpoint;
        transport::Limits limits;
        limits.max_backlog_bytes = options.backlog;
        transport::Security security;
        security.allow_insecure_network = options.insecure;
        if (options.secure) {
            const QString dir =
                QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                QStringLiteral("/lumenfold/");
            security.key_file = dir + QStringLiteral("server.key");
            security.authorized_producers = dir + QStringLiteral("authorized_producers");
        }
        auto zmq = std::make_unique<transport::ZmqQueue>(wanted, limits, security);
        attach_recording(zmq.get());
        if (options.secure) {
            std::printf("lumenfold-scope: public key %s (in %s.pub); producers listed in %s\n",
                        qPrintable(zmq->public_key()), qPrintable(security.key_file),
                        qPrintable(security.authorized_producers));
            std::fflush(stdout);
        }
        zmq_ = zmq.get();
        endpoint_ = zmq->endpoint();
        queue = std::move(zmq);
    } else {
        zmq_ = dynamic_cast<transport::ZmqQueue*>(queue.get());
        attach_recording(zmq_);
        endpoint_ =
            options.endpoint.isEmpty() ? QStringLiteral("in-process queue") : options.endpoint;
    }
    queue_ = std::make_unique<CountingQueue>(std::move(queue));

    // Curve key k draws the k-th newest generation.
    ages_ = config::ridx;
    std::sort(ages_.begin(), ages_.end());
    palette_ = history_palette();

    stderr_log_ = std::make_unique<RateLimitedLog>(QStringLiteral("lumenfold-scope: "));
    previous_handler_ =
        host::set_warning_handler([this](const QString& text) { on_warning(text); });
    previous_clipboard_ = host::clipboard();
    clipboard_ = std::make_unique<ScopeClipboard>(
        previous_clipboard_, [this](const host::Value& v) { on_measurement(v); });
    host::set_clipboard(clipboard_.get());

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(4, 4, 4, 4);
    toolbar_ = new toolbar::ToolBar();
    column->addWidget(toolbar_);
    grid_host_ = new QWidget(central);
    grid_ = new QGridLayout(grid_host_);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setSpacing(4);
    column->addWidget(grid_host_, 1);
    setCentralWidget(central);

    // Before anything can read the column names (the first "PN" at the first tick).
    toolbar_->set_mainwindow(this);
    pump_ = std::make_unique<cmdpump::CmdPump>(*queue_, *toolbar_, points_, traces_);

    log_dock_ = new QDockWidget(tr("Log"), this);
    log_dock_->setObjectName(QStringLiteral("log"));
    log_ = new QPlainTextEdit(log_dock_);
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(2000); // a stream of bad records must not grow memory
    log_dock_->setWidget(log_);
    addDockWidget(Qt::BottomDockWidgetArea, log_dock_);
    // The plots get the room; the log is a side view, hidden until it has something to say.
    resizeDocks({log_dock_}, {110}, Qt::Vertical);
    log_dock_->hide();

    build_menus();
    build_status_bar();
    setWindowTitle(tr("lumenfold-scope — %1").arg(endpoint_));
    resize(1100, 760);
    if (options_.reset_settings)
        forget_layout();
    const RememberedLayout layout = load_layout();
    if (!layout.geometry.isEmpty())
        restoreGeometry(layout.geometry);
    if (!layout.state.isEmpty())
        restoreState(layout.state);
    legend_action_->setChecked(layout.legend);
    // A log panel the user had open stays open; one never opened waits for a warning.
    log_revealed_ = !log_dock_->isHidden();

    rate_clock_.start();
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(std::max(1, 1000 / std::max(1, options_.frame_rate)));
    connect(&timer_, &QTimer::timeout, this, [this] {
        try {
            tick();
        } catch (const std::exception& e) {
            report_error(QStringLiteral("ScopeWindow::tick: %1").arg(QString::fromUtf8(e.what())));
        }
    });
    timer_.start();
}

ScopeWindow::~ScopeWindow() {
    timer_.stop();
    store_layout({saveGeometry(), saveState(), legend_wanted_});
    replay_.reset();
    recorder_.reset();
    pump_.reset();
    // The toolbar may still re-read column names while it is torn down (a focused pattern
    // field finishes its edit); do it while this window is whole.
    delete toolbar_;
    toolbar_ = nullptr;
    host::set_clipboard(previous_clipboard_);
    host::set_warning_handler(previous_handler_);
}

void ScopeWindow::build_menus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    add_recording_actions(file);
    file->addSeparator();
    QAction* csv = file->addAction(tr("Export plot data as &CSV..."));
    csv->setShortcut(QKeySequence(tr("Ctrl+E")));
    connect(csv, &QAction::triggered, this, [this] {
        const QString name = QFileDialog::getSaveFileName(
            this, tr("Export plot data"), QStringLiteral("plot.csv"), tr("CSV files (*.csv)"));
        QString error;
        if (!name.isEmpty() && !export_csv(name, &error))
            report_error(QStringLiteral("ScopeWindow::export_csv: %1").arg(error));
    });
    QAction* png = file->addAction(tr("Save window as &PNG..."));
    png->setShortcut(QKeySequence(tr("Ctrl+Shift+S")));
    connect(png, &QAction::triggered, this, [this] {
        const QString name = QFileDialog::getSaveFileName(
            this, tr("Save window"), QStringLiteral("scope.png"), tr("PNG images (*.png)"));
        QString error;
        if (!name.isEmpty() && !export_png(name, &error))
            report_error(QStringLiteral("ScopeWindow::export_png: %1").arg(error));
    });
    QAction* hdf5 = file->addAction(tr("Export data as &HDF5..."));
    connect(hdf5, &QAction::triggered, this, [this] {
        const QString name = QFileDialog::getSaveFileName(
            this, tr("Export data"), QStringLiteral("scope.h5"), tr("HDF5 files (*.h5 *.hdf5)"));
        QString error;
        if (!name.isEmpty() && !export_hdf5(points_, traces_, name, &error))
            report_error(QStringLiteral("ScopeWindow::export_hdf5: %1").arg(error));
    });
    file->addSeparator();
    QAction* quit = file->addAction(tr("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    pause_action_ = view->addAction(tr("&Pause"));
    pause_action_->setCheckable(true);
    pause_action_->setShortcut(QKeySequence(Qt::Key_Space));
    pause_action_->setShortcutContext(Qt::WindowShortcut);
    pause_action_->setToolTip(tr("Pause: keep the plots still while data goes on arriving "
                                 "(Space)"));
    connect(pause_action_, &QAction::toggled, this, &ScopeWindow::set_paused);
    legend_action_ = view->addAction(tr("&Legend"));
    legend_action_->setCheckable(true);
    legend_action_->setChecked(true);
    connect(legend_action_, &QAction::toggled, this, [this](bool on) {
        legend_wanted_ = on;
        for (Legend* legend : legends_)
            legend->set_wanted(on);
    });
    view->addSeparator();
    for (QDockWidget* dock : findChildren<QDockWidget*>())
        view->addAction(dock->toggleViewAction());

    fill_help_menu(menuBar()->addMenu(tr("&Help")), this, endpoint_);
}

std::uint64_t ScopeWindow::items_taken() const {
    return queue_->taken();
}

QStringList ScopeWindow::log_lines() const {
    return log_->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString ScopeWindow::measurement_text() const {
    return status_->field(QStringLiteral("measure"));
}

void ScopeWindow::all_enable_auto_range() {
    for (int i = 0; i < visible_; ++i)
        plots_[static_cast<std::size_t>(i)]->enable_auto_range();
}

void ScopeWindow::enable_all_auto_range() {
    all_enable_auto_range();
}

void ScopeWindow::tick() {
    pump_commands();
    if (step_recordings())
        redraw();
    update_status();
    stderr_log_->flush_due(Clock::now());
    emit frameDrawn();
}

void ScopeWindow::pump_commands() {
    // Commands get half of the time between frames: at the frame rate, half a period; when
    // drawing is slower than that, half of what a frame really takes, so a slow paint cannot
    // starve the intake and let the queue (and the delay to the screen) grow without end.
    // Either way a producer faster than the scope is held back by the queue instead of
    // freezing the window.
    const auto now = Clock::now();
    const auto period = std::chrono::microseconds(1'000'000 / std::max(1, options_.frame_rate));
    auto since_last = period;
    if (last_tick_ != Clock::time_point{})
        since_last = std::chrono::duration_cast<std::chrono::microseconds>(now - last_tick_);
    last_tick_ = now;
    const auto budget =
        std::min<std::chrono::microseconds>(std::max(period, since_last) / 2, max_budget);
    const auto deadline = now + budget;
    constexpr std::size_t max_items = 2'000'000;
    constexpr int max_errors = 100;
    for (int failures = 0; failures < max_errors;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return;
        try {
            pump_->flush(max_items, left);
            return;
        } catch (const std::exception& e) {
            ++failures;
            const QString what = QString::fromUtf8(e.what());
            if (queue_->failing()) {
                // Not a command but the queue itself: trying again at once would fail again.
                report_error(QStringLiteral("ScopeWindow::tick: the queue failed: %1").arg(what));
                return;
            }
            report_error(QStringLiteral("%1 rejected: %2").arg(command_text(queue_->last()), what));
        }
    }
}

void ScopeWindow::redraw() {
    toolbar::ToolBar& tb = *toolbar_;
    if (paused_) {
        // A clear is about the datasets, not the view: it takes effect in its place among
        // the commands, so data that came after it is not cleared at Run. The rest of the
        // toolbar's changes wait for Run.
        if (tb.CR_flag) {
            points_.clear_history();
            traces_.clear_history();
            tb.CR_flag = false;
        }
        return;
    }
    bool stale = false;
    if (tb.xypairs_dirty) {
        pairs_.assign(tb.xypairs.begin(), tb.xypairs.end());
        tb.xypairs_dirty = false;
        relayout();
        stale = true;
    }
    if (tb.xyfm_dirty) {
        fx_ = parse_format(tb.fx.value_or(QStringLiteral("real"))).value_or(Format::Real);
        fy_ = parse_format(tb.fy.value_or(QStringLiteral("real"))).value_or(Format::Real);
        lx_ = tb.lx;
        ly_ = tb.ly;
        tb.xyfm_dirty = false;
        apply_log_mode();
        stale = true;
    }
    if (tb.link_dirty) {
        tb.link_dirty = false;
        apply_links();
    }
    if (tb.CR_flag) {
        points_.clear_history();
        traces_.clear_history();
        tb.CR_flag = false;
    }
    if (tb.mode != mode_) {
        mode_ = tb.mode;
        stale = true;
    }
    if (stale)
        for (auto& row : drawn_)
            std::fill(row.begin(), row.end(), Drawn{std::uint64_t(-1), 0});

    const ColumnDataset& data =
        mode_ == QLatin1String("T") ? static_cast<const ColumnDataset&>(traces_) : points_;
    const QStringList names = data.column_names();
    for (int i = 0; i < visible_; ++i) {
        chartpane::PlotWidget* plot = plots_[static_cast<std::size_t>(i)];
        const auto& [xname, yname] = pairs_[static_cast<std::size_t>(i)];
        const int xc = names.indexOf(xname), yc = names.indexOf(yname);
        std::vector<Drawn>& drawn = drawn_[static_cast<std::size_t>(i)];
        bool changed = false, empty = true;
        std::vector<std::pair<QString, QColor>> entries;
        for (std::size_t age = 0; age < ages_.size(); ++age) {
            const Generation* g = (xc >= 0 && yc >= 0 && age < data.generation_count())
                                      ? &data.generation(age)
                                      : nullptr;
            if (g && g->rows() > 0) {
                empty = false;
                entries.emplace_back(Legend::age_name(age, mode_ == QLatin1String("T")),
                                     palette_->at(static_cast<std::size_t>(ages_[age])));
            }
            const Drawn want = g ? Drawn{g->uid(), g->revision()} : Drawn{};
            if (want.uid == drawn[age].uid && want.revision == drawn[age].revision)
                continue;
            if (g)
                plot->set_data(ages_[age], formatted(fx_, *g, xc), formatted(fy_, *g, yc));
            else
                plot->set_data(ages_[age], {}, {});
            drawn[age] = want; // set_data repaints the plot (and refits it in auto range)
            changed = true;
        }
        if (changed && empty)
            show_empty(plot);
        if (changed)
            legends_[static_cast<std::size_t>(i)]->set_entries(entries);
    }
}

void ScopeWindow::show_empty(chartpane::PlotWidget* plot) {
    // Fitting no data leaves the view as it was, so a plot whose data is gone (new names, a
    // pattern that no longer matches a column) would go on showing the range of data that
    // no longer exists. It gets the view of a new plot instead, and fits the data that
    // comes next, whatever the user had zoomed to.
    const double x0 = plot->logModeX() ? 1 : 0, y0 = plot->logModeY() ? 1 : 0;
    plot->plotItem()->vb()->setRange(
        QRectF(QPointF(x0, y0), QPointF(plot->logModeX() ? 10 : 1, plot->logModeY() ? 10 : 1)));
    plot->enable_auto_range();
}

chartpane::PlotWidget* ScopeWindow::make_plot() {
    auto* plot = new chartpane::PlotWidget(140, palette_);
    plot->setParent(grid_host_);
    plot->setLogMode(lx_, ly_);
    plot->enable_auto_range();
    plot->installEventFilter(this);
    plot->canvas()->installEventFilter(this);
    // The axis-name labels stay where the plot widget puts them, over its top left corner;
    // the canvas and its axes start below them, far enough that the top tick label (centred
    // on the canvas's top edge) cannot reach them either, whatever the size or the scale.
    int below_labels = 0;
    for (const QLabel* label : plot->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        below_labels = std::max(below_labels, label->y() + label->sizeHint().height());
    plot->setContentsMargins(0, below_labels + plot->fontMetrics().height() / 2 + 2, 0, 0);
    legends_.push_back(new Legend(plot->canvas()));
    legends_.back()->set_wanted(legend_wanted_);
    attach_cursor_readout(plot);
    keep_tick_labels_apart(plot);
    return plot;
}

void ScopeWindow::relayout() {
    const int wanted = static_cast<int>(pairs_.size());
    const int n = std::min(wanted, options_.max_plots);
    hidden_pairs_ = wanted - n;
    while (static_cast<int>(plots_.size()) < n) {
        plots_.push_back(make_plot());
        drawn_.emplace_back(ages_.size());
    }
    for (chartpane::PlotWidget* plot : plots_)
        grid_->removeWidget(plot);
    for (int r = 0; r < grid_->rowCount(); ++r)
        grid_->setRowStretch(r, 0);
    for (int c = 0; c < grid_->columnCount(); ++c)
        grid_->setColumnStretch(c, 0);

    // As square a grid as the pairs allow, filled row by row: 2 side by side, 3 and 4 in
    // two rows, up to 9 in three.
    const int cols = n == 0 ? 1 : static_cast<int>(std::ceil(std::sqrt(double(n))));
    const int rows = n == 0 ? 1 : (n + cols - 1) / cols;
    for (int i = 0; i < n; ++i) {
        chartpane::PlotWidget* plot = plots_[static_cast<std::size_t>(i)];
        grid_->addWidget(plot, i / cols, i % cols);
        const auto& [x, y] = pairs_[static_cast<std::size_t>(i)];
        plot->set_X_label(host::Value(x));
        plot->set_Y_label(host::Value(y));
        plot->enable_auto_range();
        plot->show();
    }
    for (int r = 0; r < rows; ++r)
        grid_->setRowStretch(r, 1);
    for (int c = 0; c < cols; ++c)
        grid_->setColumnStretch(c, 1);
    // Plots no longer shown give their data back; they are reused when pairs return.
    for (std::size_t i = static_cast<std::size_t>(n); i < plots_.size(); ++i) {
        plots_[i]->hide();
        legends_[i]->set_entries({});
        for (std::size_t age = 0; age < ages_.size(); ++age) {
            if (drawn_[i][age].uid != 0)
                plots_[i]->set_data(ages_[age], {}, {});
            drawn_[i][age] = Drawn{};
        }
    }
    visible_ = n;
    apply_links();
}

void ScopeWindow::apply_links() {
    const auto [share_x, share_y] = toolbar_->sharexy();
    for (chartpane::PlotWidget* plot : plots_) {
        plot->plotItem()->vb()->setXLink(nullptr);
        plot->plotItem()->vb()->setYLink(nullptr);
        plot->XAxisLinked = false;
        plot->YAxisLinked = false;
    }
    if (visible_ == 0)
        return;
    plotting::ViewBox* leader = plots_[0]->plotItem()->vb();
    for (int i = 0; i < visible_; ++i) {
        chartpane::PlotWidget* plot = plots_[static_cast<std::size_t>(i)];
        if (i > 0 && share_x)
            plot->plotItem()->vb()->setXLink(leader);
        if (i > 0 && share_y)
            plot->plotItem()->vb()->setYLink(leader);
        plot->XAxisLinked = share_x;
        plot->YAxisLinked = share_y;
    }
}

void ScopeWindow::apply_log_mode() {
    for (chartpane::PlotWidget* plot : plots_)
        plot->setLogMode(lx_, ly_);
}

void ScopeWindow::append_log(const QString& line) {
    log_->appendPlainText(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz ")) +
                          line);
}

void ScopeWindow::on_warning(const QString& text) {
    if (QThread::currentThread() != thread()) {
        // A producer thread (the demo) may warn too; widgets are touched on the GUI thread.
        QMetaObject::invokeMethod(
            this, [this, text] { on_warning(text); }, Qt::QueuedConnection);
        return;
    }
    ++warnings_;
    stderr_log_->write(QStringLiteral("warning"), text, Clock::now());
    append_log(tr("warning: %1").arg(text));
    status_->show_message(tr("warning: %1").arg(text), 5000);
    reveal_log();
}

void ScopeWindow::report_error(const QString& text) {
    ++errors_;
    stderr_log_->write(QStringLiteral("error"), text, Clock::now());
    append_log(tr("error: %1").arg(text));
    status_->show_message(tr("error: %1").arg(text), 10000);
    reveal_log();
}

void ScopeWindow::reveal_log() {
    // Only the first time: a user who closed the panel keeps it closed (View > Log).
    if (log_revealed_)
        return;
    log_revealed_ = true;
    log_dock_->show();
    update_status();
}

void ScopeWindow::on_measurement(const host::Value& value) {
    // The readout shows the digits one pixel of the plot measured in can tell apart; the
    // clipboard keeps the exact text the panel copied.
    chartpane::PlotWidget* plot = current_plot();
    const auto step = [plot](double x) {
        if (!plot)
            return 0.0;
        plotting::ViewBox* vb = plot->plotItem()->vb();
        const QPointF at = vb->mapViewToScene(QPointF(x, vb->viewRange().center().y()));
        return std::fabs(vb->mapSceneToView(at + QPointF(1, 0)).x() - x);
    };
    QString text;
    if (value.is_number()) {
        const double x = value.as_float();
        text = tr("x = %1").arg(resolved_text(x, step(x)));
    } else if (value.is_str()) {
        const QStringList parts = value.as_str().split(QLatin1Char(','));
        bool ok1 = false, ok2 = false;
        const double a = parts.value(0).toDouble(&ok1), b = parts.value(1).toDouble(&ok2);
        if (parts.size() == 2 && ok1 && ok2)
            text = tr("x1 = %1, x2 = %2, dx = %3")
                       .arg(resolved_text(a, step(a)), resolved_text(b, step(b)),
                            resolved_text(b - a, std::max(step(a), step(b))));
        else
            text = host::text_form(value);
    } else {
        text = host::text_form(value);
    }
    status_->set_field(QStringLiteral("measure"), text, host::text_form(value));
}

chartpane::PlotWidget* ScopeWindow::current_plot() const {
    for (int i = 0; i < visible_; ++i)
        if (plots_[static_cast<std::size_t>(i)] == current_)
            return current_;
    return visible_ > 0 ? plots_[0] : nullptr;
}

bool ScopeWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::FocusIn) {
        for (chartpane::PlotWidget* plot : plots_)
            if (watched == plot || watched == plot->canvas())
                current_ = plot;
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tellurix::lumenfold::scope
