// The warning channel every module reports non-fatal diagnostics on, and the
// clipboard facility the plot widget copies values through.
#pragma once

#include <tellurix/lumenfold/host/value.h>
#include <tellurix/lumenfold/host_export.h>

#include <QString>

#include <functional>

namespace tellurix::lumenfold::host {

using WarningHandler = std::function<void(const QString&)>;

/// Issues a non-fatal diagnostic. The default handler writes it through the Qt logging
/// category "tellurix.lumenfold" at warning level. GUI thread.
LUMENFOLD_HOST_EXPORT void warn(const QString& text);
/// Installs `handler` (an empty function restores the default) and returns the one it
/// replaces (empty when that was the default).
LUMENFOLD_HOST_EXPORT WarningHandler set_warning_handler(WarningHandler handler);

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
