#include "handshake_watch.h"

#include <cstdint>
#include <cstring>

namespace tellurix::lumenfold::transport::detail {

HandshakeWatch::HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket,
                               const std::string& name)
    : events_(context, zmq::socket_type::pair) {
    const std::string endpoint = "inproc://lumenfold-handshake-" + name;
    if (zmq_socket_monitor(socket.handle(), endpoint.c_str(),
                           ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH) !=
        0)
        throw zmq::error_t();
    events_.set(zmq::sockopt::linger, 0);
    events_.connect(endpoint);
}

HandshakeFailures HandshakeWatch::take() {
    HandshakeFailures f;
    zmq::message_t frame;
    // Each event is two frames: the event and its value, then the endpoint.
    while (events_.recv(frame, zmq::recv_flags::dontwait)) {
        if (!frame.more() || frame.size() < 6)
            continue;
        std::uint16_t event;
        std::uint32_t value;
        std::memcpy(&event, frame.data<char>(), 2);
        std::memcpy(&value, frame.data<char>() + 2, 4);
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH)
            ++f.auth;
        else if (value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH)
            ++f.mechanism;
        else if (value == ZMQ_PROTOCOL_ERROR_ZMTP_INVALID_METADATA)
            ++f.wrong_socket; // what ZeroMQ reports for a socket type that does not pair
        else
            ++f.other;
    }
    return f;
}

} // namespace tellurix::lumenfold::transport::detail
