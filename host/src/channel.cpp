#include <tellurix/lumenfold/host/channel.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLoggingCategory>

namespace tellurix::lumenfold::host {

namespace {
Q_LOGGING_CATEGORY(lcLumenfold, "tellurix.lumenfold")

WarningHandler& current_handler() {
    static WarningHandler handler;
    return handler;
}

// The system clipboard, looked up at each copy: the library may be loaded (and this
// object built) before the application object exists.
class SystemClipboard final : public Clipboard {
public:
    void copy(const Value& value) override {
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            throw std::runtime_error("clipboard: no QGuiApplication is running");
        QGuiApplication::clipboard()->setText(text_form(value));
    }
};

SystemClipboard g_system_clipboard;
Clipboard* g_clipboard = &g_system_clipboard;
} // namespace

void warn(const QString& text) noexcept {
    // A copy, so that a handler which installs another one while it runs is not destroyed
    // in the middle of its own call.
    const WarningHandler handler = current_handler();
    if (!handler) {
        qCWarning(lcLumenfold).noquote() << text;
        return;
    }
    // warn() is called where nothing may unwind (Qt slots, destructors, catch blocks), so a
    // handler that breaks its contract by throwing costs it this one warning, which goes to
    // the default channel with the handler's complaint, and never the process.
    QString complaint;
    try {
        handler(text);
        return;
    } catch (const std::exception& e) {
        complaint = QString::fromUtf8(e.what());
    } catch (...) {
        complaint = QStringLiteral("unknown error");
    }
    qCWarning(lcLumenfold).noquote()
        << text << QStringLiteral("(the warning handler threw: %1)").arg(complaint);
}

void warn_current_exception(const char* where) noexcept {
    QString reason;
    try {
        throw;
    } catch (const std::exception& e) {
        reason = QString::fromUtf8(e.what());
    } catch (...) {
        reason = QStringLiteral("unknown error");
    }
    warn(QStringLiteral("%1: %2").arg(QLatin1String(where), reason));
}

WarningHandler set_warning_handler(WarningHandler handler) {
    WarningHandler previous = std::move(current_handler());
    current_handler() = std::move(handler);
    return previous;
}

Clipboard* clipboard() {
    return g_clipboard;
}
void set_clipboard(Clipboard* facility) {
    g_clipboard = facility;
}

} // namespace tellurix::lumenfold::host
