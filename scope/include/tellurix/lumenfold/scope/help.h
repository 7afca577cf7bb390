// The scope's Help menu: the keys and the mouse, how to feed the scope, About.
#pragma once

#include <QString>

class QMenu;
class QWidget;

namespace tellurix::lumenfold::scope {

/// The texts the Help menu shows (rich text), also for tests and the docs.
QString keys_help_text();
QString feeding_help_text(const QString& endpoint);
QString about_text();

/// Fills `menu` with the three entries; their dialogs are children of `parent`.
void fill_help_menu(QMenu* menu, QWidget* parent, const QString& endpoint);

} // namespace tellurix::lumenfold::scope
