// The few cryptographic operations the repository uses, each a thin wrapper
// over OpenSSL's EVP: random bytes, SHA-256, HMAC-SHA256, scrypt and
// AES-256-GCM. Nothing here is hand-written crypto. Thread-safe.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace repo3 {

constexpr size_t kKeyBytes = 32;    // AES-256 and HMAC-SHA256 keys
constexpr size_t kNonceBytes = 12;  // GCM nonce
constexpr size_t kTagBytes = 16;    // GCM tag
constexpr size_t kDigestBytes = 32;

using Key = std::array<uint8_t, kKeyBytes>;
using Digest = std::array<uint8_t, kDigestBytes>;

// A failure of the crypto library itself (not an authentication failure).
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void RandomBytes(void* out, size_t length);
Digest Sha256(const void* data, size_t length);
Digest HmacSha256(const Key& key, const void* data, size_t length);

// scrypt(N, r, p) of the passphrase and salt into a 32-byte key.
Key Scrypt(const std::string& passphrase, const std::string& salt, uint64_t n, uint32_t r, uint32_t p);

// AES-256-GCM: appends the ciphertext and then the 16-byte tag to `out`.
void AeadSeal(const Key& key, const uint8_t (&nonce)[kNonceBytes], const std::string& aad, const void* plain,
              size_t length, std::string& out);
// Appends the plaintext to `out`; false when the tag does not verify (nothing usable appended).
bool AeadOpen(const Key& key, const uint8_t (&nonce)[kNonceBytes], const std::string& aad, const void* sealed,
              size_t length, std::string& out);
// The same into `out`, which has room for `length` - kTagBytes bytes; false (and `out` wiped) when the
// tag does not verify or `length` is shorter than a tag.
bool AeadOpenInto(const Key& key, const uint8_t (&nonce)[kNonceBytes], const std::string& aad, const void* sealed,
                  size_t length, void* out);

std::string ToHex(const void* data, size_t length);
// Exactly 2 * `length` lowercase or uppercase hex digits into `out`; false otherwise.
bool FromHex(const std::string& hex, void* out, size_t length);
// Compares without leaking where the first difference is.
bool ConstantTimeEqual(const void* a, const void* b, size_t length);

}  // namespace repo3
