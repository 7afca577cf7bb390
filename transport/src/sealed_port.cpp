#include "sealed_port.h"

#include "recv_now.h"

#include <algorithm>
#include <climits>

namespace tellurix::lumenfold::transport::detail {

SealedPort::SealedPort(zmq::context_t& context, const QString& bound_endpoint, bool next_port,
                       std::size_t max_message_bytes, int receive_hwm, bool ipv6)
    : socket_(context, zmq::socket_type::pull) {
    socket_.set(zmq::sockopt::rcvhwm, receive_hwm);
    socket_.set(
        zmq::sockopt::maxmsgsize,
        static_cast<std::int64_t>(
            std::min<std::size_t>(max_message_bytes, INT64_MAX - seal_overhead) + seal_overhead));
    socket_.set(zmq::sockopt::ipv6, ipv6);
    socket_.set(zmq::sockopt::linger, 0);
    const int colon = bound_endpoint.lastIndexOf(QLatin1Char(':'));
    const QString address = bound_endpoint.left(colon);
    const uint next = bound_endpoint.mid(colon + 1).toUInt() + 1;
    bool bound = false;
    if (next_port && next <= 65535) {
        try {
            socket_.bind(QStringLiteral("%1:%2").arg(address).arg(next).toStdString());
            bound = true;
        } catch (const zmq::error_t&) {
            // taken: any port will do, only a firewall would mind
        }
    }
    if (!bound)
        socket_.bind((address + QStringLiteral(":*")).toStdString());
    port_ =
        static_cast<std::uint16_t>(QString::fromStdString(socket_.get(zmq::sockopt::last_endpoint))
                                       .section(QLatin1Char(':'), -1)
                                       .toUInt());
}

SealedPort::~SealedPort() = default;

Sealed SealedPort::offer(const std::string& peer) {
    forget(peer);
    Sealed s;
    s.port = port_;
    do
        s.key = fresh_seal_key();
    while (channels_.count(s.key.channel) > 0);
    channels_.emplace(s.key.channel, Channel{peer, std::make_unique<Opener>(s.key)});
    channel_of_[peer] = s.key.channel;
    return s;
}

void SealedPort::forget(const std::string& peer) {
    const auto it = channel_of_.find(peer);
    if (it == channel_of_.end())
        return;
    channels_.erase(it->second);
    channel_of_.erase(it);
}

int SealedPort::receive(int most, const Opened& opened) {
    int n = 0;
    for (; n < most; ++n) {
        zmq::message_t body;
        if (!recv_now(socket_, body))
            break;
        bool whole = !body.more();
        // A sealed message is one frame; the rest goes with the first.
        while (body.more() && socket_.recv(body, zmq::recv_flags::dontwait)) {
        }
        const auto channel = sealed_channel(body.data<char>(), body.size());
        const auto it = channel ? channels_.find(*channel) : channels_.end();
        if (!whole || it == channels_.end() ||
            !it->second.opener->open(body.data<char>(), body.size())) {
            ++refused_;
            continue;
        }
        const std::size_t size = body.size() - seal_overhead;
        opened(it->second.peer, std::move(body), seal_header_bytes, size);
    }
    return n;
}

} // namespace tellurix::lumenfold::transport::detail
