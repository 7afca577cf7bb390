// Watches a socket for connections that ZeroMQ refused during the handshake: a peer whose
// socket type does not pair with ours, which is how a producer and a consumer of different
// wire format versions meet. Without it, neither end would hear of the other.
#pragma once

#include <zmq.hpp>

#include <cstdint>
#include <deque>
#include <string>

namespace tellurix::lumenfold::transport::detail {

class HandshakeWatch {
public:
    /// Starts watching `socket` of `context`; `name` makes the watch's own endpoint unique.
    HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket, const std::string& name);
    /// The number of refused handshakes, and of connections dropped before their
    /// handshake completed, since the last call; never blocks.
    int refused();
    /// Refusals since the last handshake that succeeded, as of the last refused() call.
    /// One alone may be a peer that went away at the wrong moment; several in a row
    /// are a peer that will not pair with us.
    int refused_in_a_row() const { return in_a_row_; }
    /// Whether any handshake has succeeded on the socket.
    bool ever_paired() const { return ever_paired_; }
    /// For polling beside other sockets.
    void* handle() { return events_.handle(); }

private:
    zmq::socket_t events_;
    // Connections accepted whose handshake has not completed, by descriptor.
    std::deque<std::uint32_t> shaking_;
    int in_a_row_ = 0;
    bool ever_paired_ = false;
};

} // namespace tellurix::lumenfold::transport::detail
