// Watches a socket for connections that ZeroMQ refused during the handshake: a peer whose
// socket type does not pair with ours, which is how a producer and a consumer of different
// wire format versions meet; a peer that speaks without encryption to an encrypted end or
// the other way round; a producer whose key the consumer does not know. Without it,
// neither end would hear of the other.
#pragma once

#include <zmq.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace tellurix::lumenfold::transport::detail {

/// Handshakes refused since the last look, by reason.
struct HandshakeFailures {
    /// The peer's socket type does not pair with ours (another wire format version).
    int wrong_socket = 0;
    /// One end encrypts and the other does not, or they differ in how.
    int mechanism = 0;
    /// The consumer did not let this key in (or the keys do not match).
    int auth = 0;
    /// Other protocol errors of the handshake (e.g. a producer given the wrong server key).
    int other = 0;

    int total() const { return wrong_socket + mechanism + auth + other; }

    /// One handshake that failed, for an end that tells who failed how.
    struct Refusal {
        /// ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL, _NO_DETAIL or _AUTH.
        int event = 0;
        /// The protocol error (ZMQ_PROTOCOL_ERROR_*), the errno or the ZAP status code.
        std::uint32_t value = 0;
        /// The peer's IP address; empty when the connection was gone before it could be
        /// read (ZeroMQ's events name the descriptor only, and a peer refused early
        /// leaves within a round trip).
        std::string address;
    };
    /// Filled only by a watch that resolves addresses.
    std::vector<Refusal> refusals;
};

class HandshakeWatch {
public:
    /// Starts watching `socket` of `context`; `name` makes the watch's own endpoint unique.
    /// With `resolve_addresses`, each failure is also listed with the peer's address.
    HandshakeWatch(zmq::context_t& context, zmq::socket_t& socket, const std::string& name,
                   bool resolve_addresses = false);
    /// Stops watching: the socket watched must still be open.
    ~HandshakeWatch();
    HandshakeWatch(const HandshakeWatch&) = delete;
    HandshakeWatch& operator=(const HandshakeWatch&) = delete;
    /// The handshakes refused, and the connections dropped before their handshake
    /// completed (counted as a socket that does not pair), since the last call; never
    /// blocks.
    HandshakeFailures take();
    /// Refusals since the last handshake that succeeded, as of the last take(). One
    /// alone may be a peer that went away at the wrong moment; several in a row are a
    /// peer that will not pair with us.
    int refused_in_a_row() const { return in_a_row_; }
    /// Whether any handshake has succeeded on the socket.
    bool ever_paired() const { return ever_paired_; }
    /// For polling beside other sockets.
    void* handle() { return events_.handle(); }

private:
    struct Event {
        std::uint16_t event;
        std::uint32_t value;
        std::string endpoint;
    };
    void forget_oldest();
    void failed(HandshakeFailures& f, const Event& e);

    void* watched_;
    zmq::socket_t events_;
    const bool resolve_addresses_;
    std::vector<Event> batch_;
    // Peer addresses of the connections whose handshake has not completed, by descriptor.
    std::map<std::uint32_t, std::string> addresses_;
    // A failure waits for its connection's "disconnected", which names the descriptor.
    bool failure_pending_ = false;
    HandshakeFailures::Refusal pending_;
    // Connections accepted whose handshake has not completed, by descriptor.
    std::deque<std::uint32_t> shaking_;
    int in_a_row_ = 0;
    bool ever_paired_ = false;
};

} // namespace tellurix::lumenfold::transport::detail
