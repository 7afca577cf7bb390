// A receive that never waits, for the loops that read whatever a socket holds.
#pragma once

#include <zmq.hpp>

#include <cerrno>

namespace tellurix::lumenfold::transport::detail {

/// The next frame waiting on `socket` into `message`; false when none is. A signal that
/// interrupts the call is not an answer: it asks again.
inline bool recv_now(zmq::socket_t& socket, zmq::message_t& message) {
    for (;;) {
        try {
            return socket.recv(message, zmq::recv_flags::dontwait).has_value();
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
    }
}

} // namespace tellurix::lumenfold::transport::detail
