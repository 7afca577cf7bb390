#include "sealed.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tellurix::lumenfold::transport::detail {

namespace {

constexpr char magic[4] = {'L', 'F', 'S', '1'};
constexpr std::size_t nonce_bytes = 12;

void put_u64(char* at, std::uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8)
        at[i] = static_cast<char>(v & 0xff);
}

std::uint64_t get_u64(const char* at) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | static_cast<unsigned char>(at[i]);
    return v;
}

// Four zero bytes, then the counter as the header carries it.
void nonce_of(const char* header, unsigned char* nonce) {
    std::memset(nonce, 0, 4);
    std::memcpy(nonce + 4, header + 12, 8);
}

EVP_CIPHER_CTX* new_context(const SealKey& key, bool encrypt) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    if (!c)
        throw std::runtime_error("sealed connection: out of memory for a cipher");
    const int ok = encrypt
                       ? EVP_EncryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key.key.data(), nullptr)
                       : EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key.key.data(), nullptr);
    if (ok != 1) {
        EVP_CIPHER_CTX_free(c);
        throw std::runtime_error("sealed connection: AES-256-GCM is not available");
    }
    return c;
}

// OpenSSL takes lengths as int: a message is cut into pieces it takes whole.
constexpr std::size_t piece_bytes = std::size_t{1} << 30;

} // namespace

SealKey fresh_seal_key() {
    SealKey k;
    unsigned char channel[8];
    if (RAND_bytes(k.key.data(), static_cast<int>(k.key.size())) != 1 ||
        RAND_bytes(channel, sizeof channel) != 1)
        throw std::runtime_error("sealed connection: the system gave no random bytes");
    // 63 bits: the control message carries it as a non-negative integer.
    k.channel = get_u64(reinterpret_cast<const char*>(channel)) >> 1;
    return k;
}

std::optional<std::uint64_t> sealed_channel(const char* data, std::size_t size) {
    if (size < seal_overhead || std::memcmp(data, magic, sizeof magic) != 0)
        return std::nullopt;
    return get_u64(data + 4);
}

Sealer::Sealer(const SealKey& key)
    : context_(new_context(key, true))
    , channel_(key.channel) {}

Sealer::~Sealer() {
    EVP_CIPHER_CTX_free(context_);
}

void Sealer::seal(const char* plain, std::size_t size, char* out) {
    std::memcpy(out, magic, sizeof magic);
    put_u64(out + 4, channel_);
    put_u64(out + 12, ++counter_);
    unsigned char nonce[nonce_bytes];
    nonce_of(out, nonce);
    int n = 0;
    bool ok = EVP_EncryptInit_ex(context_, nullptr, nullptr, nullptr, nonce) == 1 &&
              EVP_EncryptUpdate(context_, nullptr, &n, reinterpret_cast<unsigned char*>(out),
                                static_cast<int>(seal_header_bytes)) == 1;
    auto* to = reinterpret_cast<unsigned char*>(out + seal_header_bytes);
    const auto* from = reinterpret_cast<const unsigned char*>(plain);
    for (std::size_t done = 0; ok && done < size;) {
        const std::size_t piece = std::min(piece_bytes, size - done);
        ok = EVP_EncryptUpdate(context_, to + done, &n, from + done, static_cast<int>(piece)) == 1;
        done += piece;
    }
    ok = ok && EVP_EncryptFinal_ex(context_, to + size, &n) == 1 &&
         EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(seal_tag_bytes),
                             to + size) == 1;
    if (!ok)
        throw std::runtime_error("sealed connection: a message could not be encrypted");
}

Opener::Opener(const SealKey& key)
    : context_(new_context(key, false))
    , channel_(key.channel) {}

Opener::~Opener() {
    EVP_CIPHER_CTX_free(context_);
}

bool Opener::open(char* data, std::size_t size) {
    if (sealed_channel(data, size) != channel_)
        return false;
    const std::uint64_t counter = get_u64(data + 12);
    if (counter <= last_counter_)
        return false;
    unsigned char nonce[nonce_bytes];
    nonce_of(data, nonce);
    const std::size_t body = size - seal_overhead;
    auto* text = reinterpret_cast<unsigned char*>(data + seal_header_bytes);
    int n = 0;
    bool ok = EVP_DecryptInit_ex(context_, nullptr, nullptr, nullptr, nonce) == 1 &&
              EVP_DecryptUpdate(context_, nullptr, &n, reinterpret_cast<unsigned char*>(data),
                                static_cast<int>(seal_header_bytes)) == 1;
    for (std::size_t done = 0; ok && done < body;) {
        const std::size_t piece = std::min(piece_bytes, body - done);
        ok =
            EVP_DecryptUpdate(context_, text + done, &n, text + done, static_cast<int>(piece)) == 1;
        done += piece;
    }
    ok = ok &&
         EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(seal_tag_bytes),
                             text + body) == 1 &&
         EVP_DecryptFinal_ex(context_, text + body, &n) == 1;
    if (ok)
        last_counter_ = counter;
    return ok;
}

} // namespace tellurix::lumenfold::transport::detail
