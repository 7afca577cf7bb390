// Sealed messages: data messages of the wire format encrypted and authenticated with
// AES-256-GCM, for the second connection a secured consumer offers its producers. ZeroMQ's
// CURVE encrypts a connection on one I/O thread at each end, copying every message twice
// on the way; on two cores that holds traces to about half a gigabyte a second. A sealed
// message is encrypted once, by the producer's own thread, and opened in place by the
// consumer's receiving thread, with the processor's AES instructions.
//
// The key and the channel number come from the consumer, over the producer's CURVE
// connection, which proved the producer's key: a sealed message is as secret and as
// authentic as one sent on that connection. Each message carries a counter that only
// grows, so a message recorded on the way and sent again is refused.
//
// Layout (docs/wire-format.md, "Sealed data connection"):
//   "LFS1" | channel (8 bytes, big-endian) | counter (8 bytes, big-endian)
//   | ciphertext | GCM tag (16 bytes)
// The nonce is four zero bytes and the counter; the first 20 bytes are authenticated too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace tellurix::lumenfold::transport::detail {

inline constexpr std::size_t seal_header_bytes = 20;
inline constexpr std::size_t seal_tag_bytes = 16;
/// What sealing adds to a message.
inline constexpr std::size_t seal_overhead = seal_header_bytes + seal_tag_bytes;
inline constexpr std::size_t seal_key_bytes = 32;

/// What both ends of one sealed channel share.
struct SealKey {
    std::uint64_t channel = 0;
    std::array<unsigned char, seal_key_bytes> key{};
};

/// A fresh channel number and key from the system's random source. Throws
/// std::runtime_error when there is none.
SealKey fresh_seal_key();

/// The channel a sealed message names; none when `data` is too short or does not start as
/// a sealed message does.
std::optional<std::uint64_t> sealed_channel(const char* data, std::size_t size);

/// The producer's end: seals its messages in order.
class Sealer {
public:
    explicit Sealer(const SealKey& key);
    ~Sealer();
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    /// Seals the `size` bytes at `plain` into `out`, which holds size + seal_overhead
    /// bytes and does not overlap `plain`.
    void seal(const char* plain, std::size_t size, char* out);

private:
    EVP_CIPHER_CTX* context_;
    std::uint64_t channel_;
    std::uint64_t counter_ = 0;
};

/// The consumer's end of one channel.
class Opener {
public:
    explicit Opener(const SealKey& key);
    ~Opener();
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;

    /// Checks the sealed message of `size` bytes at `data` and decrypts it in place: the
    /// message is then the size - seal_overhead bytes from data + seal_header_bytes. False,
    /// and nothing usable at `data`, when it is not of this channel, was altered, or is
    /// not newer than the last message opened (one sent again).
    bool open(char* data, std::size_t size);

private:
    EVP_CIPHER_CTX* context_;
    std::uint64_t channel_;
    std::uint64_t last_counter_ = 0;
};

} // namespace tellurix::lumenfold::transport::detail
