// Taking items from a ZmqQueue in a test, and the records the queue tests send.
#pragma once

#include <tellurix/lumenfold/transport.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace queue_test {

// Takes `count` items, waiting for them at most a generous while (a hang, not a timing,
// is what the deadline guards against).
inline std::vector<tellurix::lumenfold::host::Value>
drain(tellurix::lumenfold::transport::ZmqQueue& queue, std::size_t count,
      std::chrono::seconds patience = std::chrono::seconds(20)) {
    std::vector<tellurix::lumenfold::host::Value> items;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (items.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (queue.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            items.push_back(queue.get());
    }
    return items;
}

// A "PD" record of two numbers that tells its place in a stream.
inline tellurix::lumenfold::host::Value record(std::int64_t i) {
    using tellurix::lumenfold::host::Value;
    return Value::tuple({"PD", Value::list({i, i / 2.0})});
}

} // namespace queue_test
