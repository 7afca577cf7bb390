// The control messages of flow control, as both ends write and read them
// (docs/wire-format.md, "Flow control"):
//   producer to consumer  ["sync", 2, last_seq, closing]
//   consumer to producer  ["credit", 2, session, base, acked, window_msgs, window_bytes]
//                         ["refused", 2, reason]
// and, over a secured (CURVE) connection, the sealed data connection's set-up:
//   producer to consumer  ["seal", 2]
//   consumer to producer  ["sealed", 2, port, channel, key]
#pragma once

#include "sealed.h"
#include "wire.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tellurix::lumenfold::transport::detail {

/// The credit every producer starts with, before any answer: enough for a first batch
/// to be on its way at once, and for a producer to send a little before its consumer is
/// there.
inline constexpr std::uint64_t initial_window_msgs = 256;
inline constexpr std::uint64_t initial_window_bytes = 1u << 20;

struct Sync {
    std::uint64_t last_seq = 0;
    bool closing = false;
};

/// Where a producer sends sealed data messages, and how it seals them.
struct Sealed {
    /// The consumer's tcp port for sealed messages, on the host the producer reached it at;
    /// 0: it has none, and the producer keeps to its secured connection.
    std::uint16_t port = 0;
    SealKey key;
};

struct Credit {
    std::uint64_t session = 0, base = 0, acked = 0, window_msgs = 0, window_bytes = 0;
};

QByteArray encode_sync(const Sync& sync);
QByteArray encode_credit(const Credit& credit);
QByteArray encode_refused(const QString& reason);
QByteArray encode_seal();
QByteArray encode_sealed(const Sealed& sealed);

/// What a control message says. Throws DecodeError when its word is unknown or its
/// fields are not what that word needs; `elements` come from decode_frame.
struct Control {
    std::optional<Sync> sync;
    std::optional<Credit> credit;
    std::optional<QString> refused;
    /// The producer asks for a sealed data connection.
    bool seal = false;
    std::optional<Sealed> sealed;
};
Control parse_control(const std::vector<host::Value>& elements);

} // namespace tellurix::lumenfold::transport::detail
