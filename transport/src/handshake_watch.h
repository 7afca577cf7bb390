// Watches a socket for connections that ZeroMQ refused during the handshake: a peer whose
// socket type does not pair with ours, which is how a producer and a consumer of different
// wire format versions meet. Without it, neither end would hear of the other.
#pragma once

#include <zmq.hpp>

#include <string>

namespace tellurix::lumenfold::transport::detail {

class HandshakeWatch {
public:
    /// Starts watching `socket` of `context`; `name` makes the watch's own endpoint unique.
    HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket, const std::string& name);
    /// The number of refused handshakes reported since the last call; never blocks.
    int refused();
    /// For polling beside other sockets.
    void* handle() { return events_.handle(); }

private:
    zmq::socket_t events_;
};

} // namespace tellurix::lumenfold::transport::detail
