// The producer's message buffers: those of messages already sent are kept for the next
// ones, and big messages are lent to ZeroMQ rather than copied.
#pragma once

#include <QByteArray>

#include <zmq.hpp>

#include <mutex>
#include <vector>

namespace tellurix::lumenfold::transport {

// Messages above this size are handed to ZeroMQ without a copy.
inline constexpr int zero_copy_bytes = 16 * 1024;

// Buffers of messages already sent, for the next messages to be encoded into. A
// producer streaming big items would otherwise allocate a fresh buffer for each, and
// ZeroMQ's I/O thread would free it: the allocator then hands that memory back to the
// system and the next buffer faults every page in again.
class Recycler {
public:
    // Takes a buffer for a message of about `size` bytes; an empty one when none fits.
    QByteArray take(std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!free_.empty()) {
            QByteArray b = std::move(free_.back());
            free_.pop_back();
            if (static_cast<std::size_t>(b.capacity()) >= size)
                return b;
        }
        return QByteArray();
    }
    // Keeps `buffer` when there is room; any thread.
    void give(QByteArray&& buffer) {
        if (buffer.capacity() == 0 || static_cast<std::size_t>(buffer.capacity()) > kept_bytes)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < kept_buffers)
            free_.push_back(std::move(buffer));
    }

private:
    static constexpr std::size_t kept_buffers = 4;
    static constexpr std::size_t kept_bytes = 4u << 20;
    std::mutex mutex_;
    std::vector<QByteArray> free_;
};

// What ZeroMQ holds of a message sent without a copy, released from its I/O thread.
struct Lent {
    QByteArray bytes;
    Recycler* recycler;
    static void release(void*, void* hint) {
        auto* lent = static_cast<Lent*>(hint);
        lent->recycler->give(std::move(lent->bytes));
        delete lent;
    }
};

// A frame of `bytes`: lent to ZeroMQ when big, copied (and the buffer kept) when small.
zmq::message_t to_frame(QByteArray&& bytes, Recycler& recycler);

} // namespace tellurix::lumenfold::transport
