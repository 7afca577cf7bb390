// The producer's end of the sealed data connection (sealed.h, docs/wire-format.md,
// "Sealed data connection"): its state, socket and sealer. The steps from one state to the
// next need the producer's own connection and are the producer's (producer.cpp).
#pragma once

#include "flow.h"
#include "handshake_watch.h"
#include "sealed.h"

#include <QString>

#include <zmq.hpp>

#include <chrono>
#include <optional>

namespace tellurix::lumenfold::transport {

// The sealed data connection of a producer of a secured consumer (sealed.h): asked for
// with the first sync, used once the consumer has answered, the connection is up and
// everything sent before it is in, so that the two connections never overtake each other.
struct SealedLink {
    enum State { Off, Asked, Connecting, Draining, On } state = Off;
    std::chrono::steady_clock::time_point since{};
    std::optional<detail::Sealer> sealer;
    std::optional<zmq::socket_t> socket;
    std::optional<detail::HandshakeWatch> watch;
    int opened = 0;

    // The consumer answered with `offer`: connects to its sealed port on the host
    // `endpoint` names.
    void open(zmq::context_t& context, const QString& endpoint, const detail::Sealed& offer,
              int hwm);
    // Back to Off: the secured connection carries everything.
    void close();
};

} // namespace tellurix::lumenfold::transport
