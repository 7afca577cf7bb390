#include "sealed_link.h"

#include <string>

namespace tellurix::lumenfold::transport {

void SealedLink::open(zmq::context_t& context, const QString& endpoint, const detail::Sealed& offer,
                      int hwm) {
    if (state != Asked)
        return;
    if (offer.port == 0) { // the consumer has no sealed port
        close();
        return;
    }
    const QString address = endpoint.left(endpoint.lastIndexOf(QLatin1Char(':')));
    socket.emplace(context, zmq::socket_type::push);
    // Messages go only to a connection that is up: one that never comes up holds none.
    socket->set(zmq::sockopt::immediate, true);
    socket->set(zmq::sockopt::sndhwm, hwm);
    try {
        // A link of a consumer that restarted may still hold the last name.
        watch.emplace(context, *socket, "producer-sealed-" + std::to_string(++opened));
        sealer.emplace(offer.key);
        socket->connect(QStringLiteral("%1:%2").arg(address).arg(offer.port).toStdString());
    } catch (const std::exception&) {
        close(); // the secured connection carries everything, as without one
        return;
    }
    state = Connecting;
    since = std::chrono::steady_clock::now();
}

void SealedLink::close() {
    watch.reset();
    if (socket) {
        socket->set(zmq::sockopt::linger, 0);
        socket.reset();
    }
    sealer.reset();
    state = Off;
}

} // namespace tellurix::lumenfold::transport
