// CURVE key pairs kept in files: a secret key file that only its owner may read, and its
// public half beside it as <file>.pub. Both hold the key in Z85, the 40-character text form
// ZeroMQ uses, on one line.
#pragma once

#include <QString>

#include <string>

namespace tellurix::lumenfold::transport::detail {

struct KeyPair {
    std::string public_z85;
    std::string secret_z85;
};

/// True when `text` is a 40-character Z85 key (a 32-byte CURVE key).
bool is_z85_key(const std::string& text);

/// A fresh key pair. Throws std::runtime_error when ZeroMQ was built without CURVE.
KeyPair generate_keys();

/// Writes `keys` to `path` (mode 0600, created or replaced) and its public half to
/// `path`.pub. Throws std::runtime_error naming the file on failure.
void write_keys(const QString& path, const KeyPair& keys);

/// Reads the secret key in `path` and derives its public half. The file must belong to
/// this user and be closed to everyone else; a secret key others may read is refused.
/// Throws std::runtime_error saying what is wrong, prefixed with `who`.
KeyPair load_keys(const QString& path, const char* who);

/// load_keys, after writing a fresh pair there when `path` does not exist yet.
/// `created` says which happened.
KeyPair load_or_create_keys(const QString& path, const char* who, bool* created = nullptr);

} // namespace tellurix::lumenfold::transport::detail
