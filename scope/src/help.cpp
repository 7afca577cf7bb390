#include <tellurix/lumenfold/scope/help.h>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>

namespace tellurix::lumenfold::scope {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("ScopeHelp", text);
}

} // namespace

QString keys_help_text() {
    return tr("<h3>Keys and mouse in a plot</h3><table cellspacing='4'>"
              "<tr><td><b>Left drag</b></td><td>pan</td></tr>"
              "<tr><td><b>Right drag</b></td><td>zoom: right and up widen, left and down "
              "narrow</td></tr>"
              "<tr><td><b>Wheel</b></td><td>zoom about the cursor</td></tr>"
              "<tr><td><b>F</b></td><td>fit the view to the data once</td></tr>"
              "<tr><td><b>A</b></td><td>follow the newest point (strip chart), keeping the X "
              "span</td></tr>"
              "<tr><td><b>Middle click</b></td><td>measure: copies the X under the cursor to the "
              "clipboard, the status bar shows it</td></tr>"
              "<tr><td><b>R + middle drag</b></td><td>measure a span: copies \"x1,x2\" (press "
              "and release positions), the status bar shows dx</td></tr>"
              "<tr><td><b>Hover</b></td><td>the status bar shows the point nearest the "
              "cursor</td></tr>"
              "<tr><td><b>Space</b></td><td>pause the plots / run again (data keeps being "
              "taken in while paused)</td></tr>"
              "<tr><td><b>AR</b> (toolbar)</td><td>every plot fits its data again</td></tr>"
              "</table>");
}

QString feeding_help_text(const QString& endpoint) {
    return tr("<h3>Feeding the scope</h3><p>This scope listens on <tt>%1</tt>.</p>"
              "<p>From Python (the <tt>lumenfold</tt> module):</p><pre>"
              "import lumenfold\n"
              "p = lumenfold.Producer('%1')\n"
              "p.send('PN', ['t', 'v']); p.send('PXY', 't,v'); p.send('PD', [0.0, 1.0])"
              "</pre><p>A producer given no endpoint uses the per-user default, which is the "
              "one this scope binds unless started with <tt>--listen</tt>.</p>")
        .arg(endpoint.toHtmlEscaped());
}

QString about_text() {
    return tr("<h3>lumenfold-scope %1</h3><p>Watches what a producer streams to the "
              "Lumenfold command queue.</p>")
        .arg(QCoreApplication::applicationVersion().isEmpty()
                 ? QStringLiteral(LUMENFOLD_SCOPE_VERSION)
                 : QCoreApplication::applicationVersion());
}

void fill_help_menu(QMenu* menu, QWidget* parent, const QString& endpoint) {
    const auto show = [parent](const QString& title, const QString& text) {
        auto* box = new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Close, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setTextFormat(Qt::RichText);
        box->setTextInteractionFlags(Qt::TextSelectableByMouse);
        box->show();
    };
    QAction* keys = menu->addAction(tr("&Keys and mouse"));
    keys->setShortcut(QKeySequence::HelpContents);
    QObject::connect(keys, &QAction::triggered, parent,
                     [show] { show(tr("Keys and mouse"), keys_help_text()); });
    QAction* feed = menu->addAction(tr("&Feeding the scope"));
    QObject::connect(feed, &QAction::triggered, parent, [show, endpoint] {
        show(tr("Feeding the scope"), feeding_help_text(endpoint));
    });
    menu->addSeparator();
    QAction* about = menu->addAction(tr("&About lumenfold-scope"));
    QObject::connect(about, &QAction::triggered, parent,
                     [show] { show(tr("About lumenfold-scope"), about_text()); });
}

} // namespace tellurix::lumenfold::scope
