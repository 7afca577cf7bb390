#include <tellurix/lumenfold/scope/scope_window.h>

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
#include <QIODevice>
#include <QLabel>
#include <QMenuBar>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tellurix::lumenfold::scope {

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

/// The queue the CmdPump drains, seen through a counter: the scope learns the item rate
/// and, when a command fails inside flush, which item it was (flush does not say; the item
/// being handled is the last one taken).
class CountingQueue : public host::Queue {
public:
    explicit CountingQueue(std::unique_ptr<host::Queue> inner)
        : inner_(std::move(inner)) {}
    bool empty() override {
        failing_ = true; // stays set when the queue throws
        const bool none = inner_->empty();
        failing_ = false;
        return none;
    }
    host::Value get() override {
        failing_ = true;
        host::Value item = inner_->get();
        failing_ = false;
        ++taken_;
        last_ = item; // a cheap copy: payload buffers are shared
        return item;
    }
    std::uint64_t taken() const noexcept { return taken_; }
    /// Whether the last exception came out of the queue itself rather than a command.
    bool failing() const noexcept { return failing_; }
    const host::Value& last() const noexcept { return last_; }
    host::Queue& inner() { return *inner_; }

private:
    std::unique_ptr<host::Queue> inner_;
    std::uint64_t taken_ = 0;
    bool failing_ = false;
    host::Value last_;
};

/// The scope's clipboard facility: the middle-button measurement goes to the system
/// clipboard as before, and to the status bar's readout.
class ScopeClipboard : public host::Clipboard {
public:
    ScopeClipboard(host::Clipboard* forward, std::function<void(const host::Value&)> record)
        : forward_(forward)
        , record_(std::move(record)) {}
    void copy(const host::Value& value) override {
        record_(value);
        if (forward_)
            forward_->copy(value);
    }

private:
    host::Clipboard* forward_;
    std::function<void(const host::Value&)> record_;
};

namespace {

using Clock = std::chrono::steady_clock;

// However slow the frames, the window answers the user at least this often.
constexpr auto max_budget = std::chrono::microseconds(250'000);

// A payload can be a million-element array: show its head and its size, never all of it.
QString short_form(const host::Value& v, int depth = 0) {
    constexpr std::size_t shown = 6;
    switch (v.kind()) {
    case host::Value::Kind::List:
    case host::Value::Kind::Tuple: {
        const bool list = v.is_list();
        const std::vector<host::Value>& items = v.items();
        QStringList parts;
        for (std::size_t i = 0; i < std::min(items.size(), shown); ++i)
            parts << (depth >= 2 ? QStringLiteral("...") : short_form(items[i], depth + 1));
        if (items.size() > shown)
            parts << QStringLiteral("... %1 items").arg(items.size());
        QString body = parts.join(QStringLiteral(", "));
        if (!list && items.size() == 1)
            body += QLatin1Char(',');
        return list ? QLatin1Char('[') + body + QLatin1Char(']')
                    : QLatin1Char('(') + body + QLatin1Char(')');
    }
    case host::Value::Kind::FloatArray:
    case host::Value::Kind::ComplexArray:
        return QStringLiteral("%1 of %2 values")
            .arg(v.type_name())
            .arg(v.is_float_array() ? v.as_float_array().size() : v.as_complex_array().size());
    case host::Value::Kind::Str: {
        QString q = host::quoted_form(v);
        return q.size() > 60 ? q.left(57) + QStringLiteral("...") : q;
    }
    case host::Value::Kind::Bytes:
        return QStringLiteral("bytes of %1").arg(v.as_bytes().size());
    default:
        return host::quoted_form(v);
    }
}

QString command_text(const host::Value& item) {
    if (item.is_tuple() && item.size() == 2 && item[0].is_str()) {
        QString text = item[0].as_str() + QLatin1Char(' ') + short_form(item[1]);
        return text.size() > 200 ? text.left(197) + QStringLiteral("...") : text;
    }
    return short_form(item);
}

QColor blend(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t,
                            a.greenF() + (b.greenF() - a.greenF()) * t,
                            a.blueF() + (b.blueF() - a.blueF()) * t);
}

} // namespace

std::shared_ptr<std::vector<QColor>> history_palette() {
    const std::vector<int>& keys = config::ridx;
    const int top = keys.empty() ? 0 : *std::max_element(keys.begin(), keys.end());
    auto palette = std::make_shared<std::vector<QColor>>(static_cast<std::size_t>(top) + 1);
    const QColor newest(0x00, 0x5A, 0xD0); // saturated blue, clear against white and grey grid
    const QColor faded(0xC4, 0xC9, 0xD2);  // just darker than the grid, still visible
    for (int key = 0; key <= top; ++key) {
        // Curve key k shows the k-th older generation: the older, the closer to faded grey.
        const double t = key == 0 ? 0.0 : 0.5 + 0.5 * (key - 1) / std::max(1, top - 1);
        (*palette)[static_cast<std::size_t>(key)] = blend(newest, faded, t);
    }
    return palette;
}

bool export_plot_csv(chartpane::PlotWidget& plot, QIODevice& device, QString* error) {
    const QRectF view = plot.plotItem()->vb()->viewRange();
    QTextStream out(&device);
    out << "curve,x,y\n";
    for (const auto& [key, curve] : plot.plots) {
        const QVector<double>& xs = curve->xData();
        const QVector<double>& ys = curve->yData();
        for (int i = 0; i < xs.size() && i < ys.size(); ++i) {
            const double x = xs[i], y = ys[i];
            if (x < view.left() || x > view.right() || y < view.top() || y > view.bottom())
                continue; // also drops NaN, which is never drawn
            out << key << ',' << host::float_text(x) << ',' << host::float_text(y) << '\n';
        }
    }
    out.flush();
    if (out.status() != QTextStream::Ok) {
        if (error)
            *error = device.errorString();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// ScopeWindow
// ---------------------------------------------------------------------------

ScopeWindow::ScopeWindow(const ScopeOptions& options, std::unique_ptr<host::Queue> queue)
    : options_(options)
    , points_(options.history, config::ridx.size())
    , traces_(options.traces) {
    if (!queue) {
        const QString wanted =
            options.endpoint.isEmpty() ? transport::default_endpoint() : options.endpoint;
        transport::Security security;
        security.allow_insecure_network = options.insecure;
        if (options.secure) {
            const QString dir =
                QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                QStringLiteral("/lumenfold/");
            security.key_file = dir + QStringLiteral("server.key");
            security.authorized_producers = dir + QStringLiteral("authorized_producers");
        }
        auto zmq = std::make_unique<transport::ZmqQueue>(wanted, transport::Limits(), security);
        if (options.secure)
            std::printf("lumenfold-scope: public key %s (in %s.pub); producers listed in %s\n",
                        qPrintable(zmq->public_key()), qPrintable(security.key_file),
                        qPrintable(security.authorized_producers));
        if (options.secure)
            std::fflush(stdout);
        zmq_ = zmq.get();
        endpoint_ = zmq->endpoint();
        queue = std::move(zmq);
    } else {
        endpoint_ =
            options.endpoint.isEmpty() ? QStringLiteral("in-process queue") : options.endpoint;
    }
    queue_ = std::make_unique<CountingQueue>(std::move(queue));

    // Curve key k draws the k-th newest generation.
    ages_ = config::ridx;
    std::sort(ages_.begin(), ages_.end());
    palette_ = history_palette();

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

    auto* dock = new QDockWidget(tr("Log"), this);
    dock->setObjectName(QStringLiteral("log"));
    log_ = new QPlainTextEdit(dock);
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(2000); // a stream of bad records must not grow memory
    dock->setWidget(log_);
    addDockWidget(Qt::BottomDockWidgetArea, dock);
    resizeDocks({dock}, {110}, Qt::Vertical); // the plots get the room; the log is a side view

    build_menus();
    build_status_bar();
    setWindowTitle(tr("lumenfold-scope — %1").arg(endpoint_));
    resize(1100, 760);

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
    file->addSeparator();
    QAction* quit = file->addAction(tr("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    for (QDockWidget* dock : findChildren<QDockWidget*>())
        view->addAction(dock->toggleViewAction());
}

void ScopeWindow::build_status_bar() {
    endpoint_label_ = new QLabel(endpoint_, this);
    rate_label_ = new QLabel(this);
    held_label_ = new QLabel(this);
    warn_label_ = new QLabel(this);
    measure_label_ = new QLabel(this);
    statusBar()->addPermanentWidget(measure_label_);
    statusBar()->addPermanentWidget(endpoint_label_);
    statusBar()->addPermanentWidget(rate_label_);
    statusBar()->addPermanentWidget(held_label_);
    statusBar()->addPermanentWidget(warn_label_);
    update_status();
}

std::uint64_t ScopeWindow::items_taken() const {
    return queue_->taken();
}

QStringList ScopeWindow::log_lines() const {
    return log_->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString ScopeWindow::measurement_text() const {
    return measure_label_->text();
}

std::vector<QRect> ScopeWindow::plot_areas() const {
    std::vector<QRect> areas;
    for (int i = 0; i < visible_; ++i) {
        const QWidget* canvas = plots_[static_cast<std::size_t>(i)]->canvas();
        areas.emplace_back(canvas->mapTo(this, QPoint(0, 0)), canvas->size());
    }
    return areas;
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
    redraw();
    update_status();
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
        for (std::size_t age = 0; age < ages_.size(); ++age) {
            const Generation* g = (xc >= 0 && yc >= 0 && age < data.generation_count())
                                      ? &data.generation(age)
                                      : nullptr;
            const Drawn want = g ? Drawn{g->uid(), g->revision()} : Drawn{};
            if (want.uid == drawn[age].uid && want.revision == drawn[age].revision)
                continue;
            if (g)
                plot->set_data(ages_[age], formatted(fx_, *g, xc), formatted(fy_, *g, yc));
            else
                plot->set_data(ages_[age], {}, {});
            drawn[age] = want; // set_data repaints the plot (and refits it in auto range)
        }
    }
}

chartpane::PlotWidget* ScopeWindow::make_plot() {
    auto* plot = new chartpane::PlotWidget(140, palette_);
    plot->setParent(grid_host_);
    plot->setLogMode(lx_, ly_);
    plot->enable_auto_range();
    plot->installEventFilter(this);
    plot->canvas()->installEventFilter(this);
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

void ScopeWindow::update_status() {
    // The rate over half a second or more, so that it reads steadily.
    if (rate_clock_.elapsed() >= 500 || rate_label_->text().isEmpty()) {
        const double seconds = rate_clock_.restart() / 1000.0;
        const std::uint64_t taken = queue_->taken();
        if (seconds > 0)
            rate_ = double(taken - rate_items_) / seconds;
        rate_items_ = taken;
        rate_label_->setText(tr("%1 items/s").arg(rate_, 0, 'f', 0));
    }
    held_label_->setText(tr("points %1 / %2 rows, traces %3 / %4")
                             .arg(points_.rows_held())
                             .arg(points_.max_rows())
                             .arg(traces_.generation_count())
                             .arg(traces_.max_traces()));
    QString warn = tr("warnings %1").arg(warnings_);
    if (zmq_ && options_.secure)
        warn += tr(", refused producers %1").arg(zmq_->refused_producers());
    if (errors_ > 0)
        warn += tr(", errors %1").arg(errors_);
    if (hidden_pairs_ > 0)
        warn += tr(", %1 pairs without a plot (--plots)").arg(hidden_pairs_);
    warn_label_->setText(warn);
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
    append_log(tr("warning: %1").arg(text));
    statusBar()->showMessage(tr("warning: %1").arg(text), 5000);
}

void ScopeWindow::report_error(const QString& text) {
    ++errors_;
    append_log(tr("error: %1").arg(text));
    statusBar()->showMessage(tr("error: %1").arg(text), 10000);
}

void ScopeWindow::on_measurement(const host::Value& value) {
    QString text;
    if (value.is_number()) {
        text = tr("x = %1").arg(host::float_text(value.as_float()));
    } else if (value.is_str()) {
        const QStringList parts = value.as_str().split(QLatin1Char(','));
        bool ok1 = false, ok2 = false;
        const double a = parts.value(0).toDouble(&ok1), b = parts.value(1).toDouble(&ok2);
        if (parts.size() == 2 && ok1 && ok2)
            text = tr("x1 = %1, x2 = %2, dx = %3")
                       .arg(host::float_text(a), host::float_text(b), host::float_text(b - a));
        else
            text = host::text_form(value);
    } else {
        text = host::text_form(value);
    }
    measure_label_->setText(text);
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

bool ScopeWindow::export_csv(const QString& file, QString* error) {
    chartpane::PlotWidget* plot = current_plot();
    if (!plot) {
        if (error)
            *error = tr("no plot is shown");
        return false;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error)
            *error = out.errorString();
        return false;
    }
    if (!export_plot_csv(*plot, out, error))
        return false;
    if (!out.commit()) {
        if (error)
            *error = out.errorString();
        return false;
    }
    return true;
}

bool ScopeWindow::export_png(const QString& file, QString* error) {
    if (!grab().save(file, "PNG")) {
        if (error)
            *error = tr("cannot write %1").arg(file);
        return false;
    }
    return true;
}

} // namespace tellurix::lumenfold::scope
