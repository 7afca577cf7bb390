// A command queue the test fills itself, and the ticks that apply all of it to a window.
#pragma once

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/scope/scope_window.h>

#include "../support/eventually.h"

#include <deque>
#include <memory>

namespace scope_test {

class FeedQueue : public tellurix::lumenfold::host::Queue {
public:
    std::deque<tellurix::lumenfold::host::Value> items;
    bool empty() override { return items.empty(); }
    tellurix::lumenfold::host::Value get() override {
        tellurix::lumenfold::host::Value v = items.front();
        items.pop_front();
        return v;
    }
};

inline tellurix::lumenfold::host::Value item(const char* cmd,
                                             tellurix::lumenfold::host::Value data) {
    return tellurix::lumenfold::host::Value::tuple({cmd, std::move(data)});
}

// A tick takes commands for a share of a frame only: a loaded machine may need several.
inline void drain(tellurix::lumenfold::scope::ScopeWindow& window, const FeedQueue& queue) {
    for (int tick = 0; tick < 1000 && !queue.items.empty(); ++tick)
        window.tick();
    ASSERT_TRUE(queue.items.empty());
    window.tick(); // acts on what the last command published
}

} // namespace scope_test
