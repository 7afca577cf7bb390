#include "handshake_watch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tellurix::lumenfold::transport::detail {

HandshakeWatch::HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket,
                               const std::string& name)
    : events_(context, zmq::socket_type::pair) {
    const std::string endpoint = "inproc://lumenfold-handshake-" + name;
    // A refused handshake is reported as such on one side at most; the other sees a
    // connection made and then dropped without a handshake completed.
    if (zmq_socket_monitor(
            socket.handle(), endpoint.c_str(),
            ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL |
                ZMQ_EVENT_HANDSHAKE_FAILED_AUTH | ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_CONNECTED |
                ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED) != 0)
        throw zmq::error_t();
    events_.set(zmq::sockopt::linger, 0);
    events_.connect(endpoint);
}

// A failure carries no descriptor either: it ends the oldest handshake, whose connection
// then drops without counting twice.
void HandshakeWatch::forget_oldest() {
    if (!shaking_.empty())
        shaking_.pop_front();
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
        std::memcpy(&event, frame.data<char>(), sizeof event);
        std::memcpy(&value, frame.data<char>() + 2, sizeof value);
        switch (event) {
        case ZMQ_EVENT_HANDSHAKE_FAILED_AUTH:
            ++f.auth;
            forget_oldest();
            ++in_a_row_;
            break;
        case ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL: // socket types that do not pair
            ++f.wrong_socket;
            forget_oldest();
            ++in_a_row_;
            break;
        case ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL:
            forget_oldest();
            if (value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH)
                ++f.mechanism;
            else if (value == ZMQ_PROTOCOL_ERROR_ZMTP_INVALID_METADATA)
                ++f.wrong_socket; // also what ZeroMQ may report for a socket type
            else
                ++f.other;
            ++in_a_row_;
            break;
        case ZMQ_EVENT_ACCEPTED:
        case ZMQ_EVENT_CONNECTED:
            shaking_.push_back(value); // the value is the connection's descriptor
            break;
        case ZMQ_EVENT_HANDSHAKE_SUCCEEDED:
            // This event carries no descriptor; handshakes complete in the order the
            // connections came, so it is the oldest one's.
            if (!shaking_.empty())
                shaking_.pop_front();
            in_a_row_ = 0;
            ever_paired_ = true;
            break;
        case ZMQ_EVENT_DISCONNECTED:
            if (const auto at = std::find(shaking_.begin(), shaking_.end(), value);
                at != shaking_.end()) {
                shaking_.erase(at);
                ++f.wrong_socket;
                ++in_a_row_;
            }
            break;
        default:
            break;
        }
    }
    return f;
}

} // namespace tellurix::lumenfold::transport::detail
