// Containment of exceptions at the edge of Qt's signal delivery.
//
// The same change callback runs in two ways: called directly by a setter (set_text,
// set_idx), where its error must reach the setter's caller, and from a signal, where an
// error must not unwind through Qt. So the callbacks themselves throw, and the signal
// connections call them through deliver(), which catches and reports. A callback built
// from a NamedSlot carries the operation the report names ("ToolBar::textEdited").
#pragma once

#include <tellurix/lumenfold/host.h>

#include <functional>

namespace tellurix::lumenfold::toolbar::detail {

struct NamedSlot {
    const char* name;
    std::function<void()> run;
    void operator()() const { run(); }
};

using host::guarded;

/// Runs a change callback from a signal. An empty callback is skipped. The report names the
/// callback's own operation when it has one, else `fallback` (the widget and its signal).
inline void deliver(const std::function<void()>& callback, const char* fallback) noexcept {
    if (!callback)
        return;
    const NamedSlot* named = callback.target<NamedSlot>();
    guarded(named ? named->name : fallback, callback);
}

} // namespace tellurix::lumenfold::toolbar::detail
