// The scope window's readout of the value under the cursor, one per plot.
#include <tellurix/lumenfold/scope/cursor_readout.h>
#include <tellurix/lumenfold/scope/legend.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/scope/status_bar.h>

#include <tellurix/lumenfold/chartpane.h>

#include <algorithm>

namespace tellurix::lumenfold::scope {

void ScopeWindow::attach_cursor_readout(chartpane::PlotWidget* plot) {
    // Names and formats are asked at each readout, so they follow the mode and the toolbar.
    auto* readout = new CursorReadout(plot, [this](int key) {
        const auto age =
            static_cast<std::size_t>(std::find(ages_.begin(), ages_.end(), key) - ages_.begin());
        return CursorReadout::Names{Legend::age_name(age, mode_ == QLatin1String("T")),
                                    format_word(fx_), format_word(fy_)};
    });
    // The status bar is the context: a readout that ends while the window is torn down
    // reaches it only while it exists.
    connect(readout, &CursorReadout::changed, status_,
            [status = status_](const QString& text, const QString& tooltip) {
                status->set_readout(text, tooltip);
            });
}

} // namespace tellurix::lumenfold::scope
