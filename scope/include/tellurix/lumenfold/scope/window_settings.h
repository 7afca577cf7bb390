// What the scope window remembers between runs (QSettings, organisation "lumenfold",
// application "lumenfold-scope"): its geometry, its docks and toolbars, the legend choice.
#pragma once

#include <QByteArray>

class QMainWindow;

namespace tellurix::lumenfold::scope {

struct RememberedLayout {
    QByteArray geometry; // QWidget::saveGeometry
    QByteArray state;    // QMainWindow::saveState (docks)
    bool legend = true;
};

/// What the last window stored; empty geometry and state when nothing was.
RememberedLayout load_layout();
void store_layout(const RememberedLayout& layout);
/// Forgets everything stored (--reset-settings).
void forget_layout();

} // namespace tellurix::lumenfold::scope
