// Parts of the scope window that need no widget: the counting queue, the clipboard that
// also feeds the measurement readout, and the short text of a command for the log.
#pragma once

#include <tellurix/lumenfold/host.h>

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace tellurix::lumenfold::scope {

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

/// A command as the log shows it: its name and the head of its payload, never all of a
/// million-element array.
QString command_text(const host::Value& item);

} // namespace tellurix::lumenfold::scope
