// What the encoder and the decoder of the wire codec agree on beyond the public header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tellurix::lumenfold::transport::detail {

/// The extension types of the wire format.
enum ExtType : std::int8_t { ExtTuple = 1, ExtComplex = 2, ExtFloatArray = 3, ExtComplexArray = 4 };

/// The deepest nesting either end handles, the message array counting as level 1, each
/// list and tuple one more. Both ends walk values recursively, a few stack frames per
/// level: whatever Limits::max_depth a consumer allows, and however deep a host builds a
/// value, the stack is not left to the data. No consumer reads a message deeper than
/// this, so the encoder refuses to write one.
inline constexpr std::size_t max_nesting = 1024;

} // namespace tellurix::lumenfold::transport::detail
