#include "handshake_watch.h"

namespace tellurix::lumenfold::transport::detail {

HandshakeWatch::HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket,
                               const std::string& name)
    : events_(context, zmq::socket_type::pair) {
    const std::string endpoint = "inproc://lumenfold-handshake-" + name;
    if (zmq_socket_monitor(socket.handle(), endpoint.c_str(),
                           ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL) != 0)
        throw zmq::error_t();
    events_.set(zmq::sockopt::linger, 0);
    events_.connect(endpoint);
}

int HandshakeWatch::refused() {
    int count = 0;
    zmq::message_t frame;
    // Each event is two frames: the event and its value, then the endpoint.
    while (events_.recv(frame, zmq::recv_flags::dontwait)) {
        if (!frame.more())
            ++count;
    }
    return count;
}

} // namespace tellurix::lumenfold::transport::detail
