#include "apps/datamover/repository/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace repo3 {

namespace {

[[noreturn]] void Fail(const char* what)
{
    char buf[256] = {0};
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    throw CryptoError(std::string(what) + ": " + buf);
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherCtx NewCtx()
{
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx) {
        Fail("EVP_CIPHER_CTX_new");
    }
    return ctx;
}

int IntLength(size_t length)
{
    if (length > static_cast<size_t>(INT_MAX)) {
        throw CryptoError("buffer too large for one AEAD call");
    }
    return static_cast<int>(length);
}

}  // namespace

void RandomBytes(void* out, size_t length)
{
    if (RAND_bytes(static_cast<unsigned char*>(out), IntLength(length)) != 1) {
        Fail("RAND_bytes");
    }
}

Digest Sha256(const void* data, size_t length)
{
    Digest d{};
    unsigned int n = 0;
    if (EVP_Digest(data, length, d.data(), &n, EVP_sha256(), nullptr) != 1 || n != d.size()) {
        Fail("SHA-256");
    }
    return d;
}

Digest HmacSha256(const Key& key, const void* data, size_t length)
{
    Digest d{};
    unsigned int n = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), static_cast<const unsigned char*>(data), length,
             d.data(), &n) == nullptr ||
        n != d.size()) {
        Fail("HMAC-SHA256");
    }
    return d;
}

Key Scrypt(const std::string& passphrase, const std::string& salt, uint64_t n, uint32_t r, uint32_t p)
{
    Key k{};
    // Room for scrypt's 128 * N * r bytes and its p-wide buffer, plus slack.
    const uint64_t maxmem = 128 * n * r + 128 * static_cast<uint64_t>(r) * p + (1u << 20);
    if (EVP_PBE_scrypt(passphrase.data(), passphrase.size(), reinterpret_cast<const unsigned char*>(salt.data()),
                       salt.size(), n, r, p, maxmem, k.data(), k.size()) != 1) {
        Fail("scrypt");
    }
    return k;
}

void AeadSeal(const Key& key, const uint8_t (&nonce)[kNonceBytes], const std::string& aad, const void* plain,
              size_t length, std::string& out)
{
    CipherCtx ctx = NewCtx();
    int n = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) != 1) {
        Fail("AES-256-GCM init");
    }
    if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(aad.data()),
                                          IntLength(aad.size())) != 1) {
        Fail("AES-256-GCM aad");
    }
    const size_t base = out.size();
    out.resize(base + length + kTagBytes);
    auto* o = reinterpret_cast<unsigned char*>(&out[base]);
    int done = 0;
    if (length > 0 &&
        EVP_EncryptUpdate(ctx.get(), o, &done, static_cast<const unsigned char*>(plain), IntLength(length)) != 1) {
        Fail("AES-256-GCM encrypt");
    }
    if (EVP_EncryptFinal_ex(ctx.get(), o + done, &n) != 1) {
        Fail("AES-256-GCM final");
    }
    done += n;
    if (static_cast<size_t>(done) != length ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, o + length) != 1) {
        Fail("AES-256-GCM tag");
    }
}

bool AeadOpenInto(const Key& key, const uint8_t (&nonce)[kNonceBytes], const std::string& aad, const void* sealed,
                  size_t length, void* out)
{
    if (length < kTagBytes) {
        return false;
    }
    const size_t cipherLen = length - kTagBytes;
    const auto* in = static_cast<const unsigned char*>(sealed);
    CipherCtx ctx = NewCtx();
    int n = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) != 1) {
        Fail("AES-256-GCM init");
    }
    if (!aad.empty() && EVP_DecryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(aad.data()),
                                          IntLength(aad.size())) != 1) {
        Fail("AES-256-GCM aad");
    }
    auto* o = static_cast<unsigned char*>(out);
    int done = 0;
    if (cipherLen > 0 && EVP_DecryptUpdate(ctx.get(), o, &done, in, IntLength(cipherLen)) != 1) {
        Fail("AES-256-GCM decrypt");
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes,
                            const_cast<unsigned char*>(in + cipherLen)) != 1) {
        Fail("AES-256-GCM set tag");
    }
    if (EVP_DecryptFinal_ex(ctx.get(), o + done, &n) != 1) {
        // Never hand out plaintext whose tag failed.
        OPENSSL_cleanse(o, cipherLen);
        ERR_clear_error();
        return false;
    }
    return true;
}

bool AeadOpen(const Key& key, const uint8_t (&nonce)[kNonceBytes], const std::string& aad, const void* sealed,
              size_t length, std::string& out)
{
    if (length < kTagBytes) {
        return false;
    }
    const size_t base = out.size();
    out.resize(base + length - kTagBytes);
    if (!AeadOpenInto(key, nonce, aad, sealed, length, &out[base])) {
        out.resize(base);
        return false;
    }
    return true;
}

std::string ToHex(const void* data, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string s(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        s[2 * i] = kDigits[p[i] >> 4];
        s[2 * i + 1] = kDigits[p[i] & 15];
    }
    return s;
}

bool FromHex(const std::string& hex, void* out, size_t length)
{
    if (hex.size() != 2 * length) {
        return false;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    auto* p = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < length; ++i) {
        int hi = nibble(hex[2 * i]);
        int lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        p[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool ConstantTimeEqual(const void* a, const void* b, size_t length)
{
    return CRYPTO_memcmp(a, b, length) == 0;
}

}  // namespace repo3
