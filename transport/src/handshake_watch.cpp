#include "handshake_watch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tellurix::lumenfold::transport::detail {

namespace {

// The IP address of the peer of connection `fd`, accepted on tcp `endpoint`; empty when
// `fd` is not, or no longer, such a connection.
std::string peer_address(std::uint32_t fd, const std::string& endpoint) {
    const std::size_t colon = endpoint.rfind(':');
    if (endpoint.compare(0, 6, "tcp://") != 0 || colon == std::string::npos)
        return {};
    const unsigned long port = std::strtoul(endpoint.c_str() + colon + 1, nullptr, 10);
    sockaddr_storage peer{}, local{};
    socklen_t peer_size = sizeof peer, local_size = sizeof local;
    const int s = static_cast<int>(fd);
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
        peer.ss_family != local.ss_family)
        return {};
    char text[INET6_ADDRSTRLEN] = "";
    unsigned long local_port = 0;
    if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
        local_port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text,
                    sizeof text);
        local_port = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    }
    // A descriptor closed and taken again for something else is not the connection.
    return local_port == port ? std::string(text) : std::string();
}

} // namespace

HandshakeWatch::HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket,
                               const std::string& name, bool resolve_addresses)
    : watched_(socket.handle())
    , events_(context, zmq::socket_type::pair)
    , resolve_addresses_(resolve_addresses) {
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

// A socket still watched goes on sending events to a reader that has gone, and ZeroMQ
// never frees those (ipc endpoints are long enough to be allocated): the watch ends first.
// Events still waiting are read, before and after: the monitor's own socket, closed here,
// would otherwise hold the context's termination until someone read them.
HandshakeWatch::~HandshakeWatch() {
    const auto drain = [this] {
        zmq::message_t frame;
        try {
            while (events_.recv(frame, zmq::recv_flags::dontwait)) {
            }
        } catch (const zmq::error_t&) {
            // nothing more to read
        }
    };
    drain();
    zmq_socket_monitor(watched_, nullptr, 0);
    drain();
}

// A failure carries no descriptor either: it ends the oldest handshake, whose connection
// then drops without counting twice.
void HandshakeWatch::forget_oldest() {
    if (!shaking_.empty())
        shaking_.pop_front();
}

void HandshakeWatch::failed(HandshakeFailures& f, const Event& e) {
    forget_oldest();
    ++in_a_row_;
    if (!resolve_addresses_)
        return;
    if (failure_pending_) // its connection's end was never seen: no address
        f.refusals.push_back(std::move(pending_));
    pending_ = {e.event, e.value, std::string()};
    failure_pending_ = true;
}

HandshakeFailures HandshakeWatch::take() {
    HandshakeFailures f;
    // Each event is two frames: the event and its value, then the endpoint. All waiting
    // events are read first, so that a connection already seen to end is not looked up.
    batch_.clear();
    zmq::message_t frame, endpoint;
    while (events_.recv(frame, zmq::recv_flags::dontwait)) {
        if (!frame.more())
            continue;
        if (!events_.recv(endpoint, zmq::recv_flags::dontwait) || frame.size() < 6)
            continue;
        Event e;
        std::memcpy(&e.event, frame.data<char>(), sizeof e.event);
        std::memcpy(&e.value, frame.data<char>() + 2, sizeof e.value);
        e.endpoint.assign(endpoint.data<char>(), endpoint.size());
        batch_.push_back(std::move(e));
    }
    for (std::size_t i = 0; i < batch_.size(); ++i) {
        const Event& e = batch_[i];
        switch (e.event) {
        case ZMQ_EVENT_HANDSHAKE_FAILED_AUTH:
            ++f.auth;
            failed(f, e);
            break;
        case ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL: // socket types that do not pair
            ++f.wrong_socket;
            failed(f, e);
            break;
        case ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL:
            if (e.value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH)
                ++f.mechanism;
            else if (e.value == ZMQ_PROTOCOL_ERROR_ZMTP_INVALID_METADATA)
                ++f.wrong_socket; // also what ZeroMQ may report for a socket type
            else
                ++f.other;
            failed(f, e);
            break;
        case ZMQ_EVENT_ACCEPTED:
        case ZMQ_EVENT_CONNECTED:
            shaking_.push_back(e.value); // the value is the connection's descriptor
            if (resolve_addresses_ &&
                std::none_of(batch_.begin() + static_cast<std::ptrdiff_t>(i) + 1, batch_.end(),
                             [&](const Event& later) {
                                 return later.event == ZMQ_EVENT_DISCONNECTED &&
                                        later.value == e.value;
                             }))
                addresses_[e.value] = peer_address(e.value, e.endpoint);
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
            if (const auto at = std::find(shaking_.begin(), shaking_.end(), e.value);
                at != shaking_.end()) {
                shaking_.erase(at);
                ++f.wrong_socket;
                ++in_a_row_;
            }
            // ZeroMQ reports a failed handshake, then the end of that connection.
            if (failure_pending_) {
                if (const auto known = addresses_.find(e.value); known != addresses_.end())
                    pending_.address = known->second;
                f.refusals.push_back(std::move(pending_));
                failure_pending_ = false;
            }
            addresses_.erase(e.value);
            break;
        default:
            break;
        }
    }
    return f;
}

} // namespace tellurix::lumenfold::transport::detail
