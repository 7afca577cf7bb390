// How the window's plots look and what leaves them: the history palette, the data of a
// plot as CSV, the window as PNG, and where each plot lies for whoever checks a screenshot.
#include <tellurix/lumenfold/scope/scope_window.h>

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/config.h>

#include <QIODevice>
#include <QSaveFile>
#include <QTextStream>

#include <algorithm>

namespace tellurix::lumenfold::scope {

namespace {

QColor blend(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t,
                            a.greenF() + (b.greenF() - a.greenF()) * t,
                            a.blueF() + (b.blueF() - a.blueF()) * t);
}

// A name as a JSON string: a reader splits the line at blanks outside quotes, and no
// name, whatever it holds, can end the line early (line and paragraph separators
// included, which some readers take for line ends).
QString json_string(const QString& text) {
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (u < 0x20 || u == 0x7F || u == 0x85 || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
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

std::vector<QRect> ScopeWindow::plot_areas() const {
    std::vector<QRect> areas;
    for (int i = 0; i < visible_; ++i) {
        const QWidget* canvas = plots_[static_cast<std::size_t>(i)]->canvas();
        areas.emplace_back(canvas->mapTo(this, QPoint(0, 0)), canvas->size());
    }
    return areas;
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

QStringList ScopeWindow::plot_report() const {
    QStringList lines;
    const std::vector<QRect> areas = plot_areas();
    for (std::size_t i = 0; i < areas.size(); ++i) {
        const QRect& r = areas[i];
        const chartpane::PlotWidget* p = plots_[i];
        lines << QStringLiteral("plot %1 %2 %3 %4 %5 %6 %7")
                     .arg(i)
                     .arg(r.x())
                     .arg(r.y())
                     .arg(r.width())
                     .arg(r.height())
                     .arg(json_string(host::text_form(p->xname)),
                          json_string(host::text_form(p->yname)));
    }
    return lines;
}

} // namespace tellurix::lumenfold::scope
