// The consumer's sealed data port: a second tcp socket, beside the secured (CURVE) one,
// on which producers that asked for it send their data messages sealed (sealed.h). It
// hands out one channel per producer, opens what arrives, and passes on only what opened,
// as a message of the producer the channel was given to.
#pragma once

#include "flow.h"
#include "sealed.h"

#include <zmq.hpp>

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tellurix::lumenfold::transport::detail {

class SealedPort {
public:
    /// Binds a port of its own on the address `bound_endpoint` (the secured socket's,
    /// e.g. "tcp://0.0.0.0:5555") is bound to: the next port when `next_port` (a port a
    /// firewall can be told of beforehand) and it is free, else one the system picks.
    /// Throws zmq::error_t when it cannot.
    SealedPort(zmq::context_t& context, const QString& bound_endpoint, bool next_port,
               std::size_t max_message_bytes, int receive_hwm, bool ipv6);
    ~SealedPort();
    SealedPort(const SealedPort&) = delete;
    SealedPort& operator=(const SealedPort&) = delete;

    std::uint16_t port() const { return port_; }
    void* handle() { return socket_.handle(); }

    /// A new channel for `peer` (replacing one it had), as the answer tells it.
    Sealed offer(const std::string& peer);
    /// `peer` left: messages still sealed for it are refused from now on.
    void forget(const std::string& peer);
    bool has_channel(const std::string& peer) const { return channel_of_.count(peer) > 0; }
    std::size_t channels() const { return channels_.size(); }

    /// What arrived and opened: the producer, and its message, which is the `size` bytes
    /// from `offset` in `body`.
    using Opened = std::function<void(const std::string& peer, zmq::message_t&& body,
                                      std::size_t offset, std::size_t size)>;
    /// Reads up to `most` messages without waiting. Returns how many arrived.
    int receive(int most, const Opened& opened);

    /// Messages refused since the last call: of no channel, altered, or sent again.
    std::uint64_t take_refused() {
        const std::uint64_t n = refused_;
        refused_ = 0;
        return n;
    }

private:
    struct Channel {
        std::string peer;
        std::unique_ptr<Opener> opener;
    };

    zmq::socket_t socket_;
    std::uint16_t port_ = 0;
    std::map<std::uint64_t, Channel> channels_;
    std::map<std::string, std::uint64_t> channel_of_;
    std::uint64_t refused_ = 0;
};

} // namespace tellurix::lumenfold::transport::detail
