// The control messages of flow control, as both ends write and read them
// (docs/wire-format.md, "Flow control"):
//   producer to consumer  ["sync", 2, last_seq, closing]
//   consumer to producer  ["credit", 2, session, base, acked, window_msgs, window_bytes]
//                         ["refused", 2, reason]
#pragma once

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

struct Credit {
    std::uint64_t session = 0, base = 0, acked = 0, window_msgs = 0, window_bytes = 0;
};

QByteArray encode_sync(const Sync& sync);
QByteArray encode_credit(const Credit& credit);
QByteArray encode_refused(const QString& reason);

/// What a control message says. Throws DecodeError when its word is unknown or its
/// fields are not what that word needs; `elements` come from decode_frame.
struct Control {
    std::optional<Sync> sync;
    std::optional<Credit> credit;
    std::optional<QString> refused;
};
Control parse_control(const std::vector<host::Value>& elements);

} // namespace tellurix::lumenfold::transport::detail
