// The warning channel every module reports non-fatal diagnostics on, and the
// clipboard facility the plot widget copies values through.
#pragma once

#include <tellurix/lumenfold/host/value.h>
#include <tellurix/lumenfold/host_export.h>

#include <QString>

#include <functional>
#include <utility>

namespace tellurix::lumenfold::host {

/// Receives each warning. It must not throw: warn() is called where nothing may unwind
/// (Qt slots and event handlers, after an error was caught). A handler that throws all the
/// same is not obeyed: warn() catches what it throws and writes the warning, with the
/// handler's complaint, to the default channel instead. A test host that wants warnings
/// to fail a test records them and checks the record.
using WarningHandler = std::function<void(const QString&)>;

/// Issues a non-fatal diagnostic. The default handler writes it through the Qt logging
/// category "tellurix.lumenfold" at warning level. Never throws. GUI thread.
LUMENFOLD_HOST_EXPORT void warn(const QString& text) noexcept;
/// Installs `handler` (an empty function restores the default) and returns the one it
/// replaces (empty when that was the default).
LUMENFOLD_HOST_EXPORT WarningHandler set_warning_handler(WarningHandler handler);

/// Inside a catch block only: issues one warning "<where>: <what the exception says>"
/// ("unknown error" for an exception that is not a std::exception).
LUMENFOLD_HOST_EXPORT void warn_current_exception(const char* where) noexcept;

/// Runs `body` at a boundary no exception may cross (a Qt slot, an event handler): what
/// it throws becomes one warning "<where>: <reason>", `where` naming the class and the
/// operation ("ToolBar::textEdited"), and nothing leaves. Whatever `body` changed before
/// it threw stays changed.
template <typename Body> void guarded(const char* where, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        warn_current_exception(where);
    }
}

/// Places values on the system clipboard.
struct Clipboard {
    virtual ~Clipboard() = default;
    /// Puts text_form(value) on the clipboard. May throw; the plot widget reports it.
    virtual void copy(const Value& value) = 0;
};

/// The installed clipboard facility, or nullptr when there is none. By default the
/// system clipboard, looked up at each copy (it works once a QGuiApplication exists).
LUMENFOLD_HOST_EXPORT Clipboard* clipboard();
/// Replaces the facility (nullptr: none). Not owned; it must outlive its use.
LUMENFOLD_HOST_EXPORT void set_clipboard(Clipboard* facility);

} // namespace tellurix::lumenfold::host
