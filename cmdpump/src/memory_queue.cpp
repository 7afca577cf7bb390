#include <tellurix/lumenfold/cmdpump.h>

namespace tellurix::lumenfold::cmdpump {

bool MemoryQueue::empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.empty();
}

host::Value MemoryQueue::get() {
    std::unique_lock<std::mutex> lock(mutex_);
    nonempty_.wait(lock, [this] { return !items_.empty(); });
    host::Value item = std::move(items_.front());
    items_.pop_front();
    return item;
}

void MemoryQueue::put(host::Value item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
    }
    nonempty_.notify_one();
}

std::size_t MemoryQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

} // namespace tellurix::lumenfold::cmdpump
