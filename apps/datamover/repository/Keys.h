// The repository's secrets and how they are kept: object "config" says whether
// the repository is encrypted; when it is, object "keys/repokey" holds a random
// master key and a chunk-id MAC key sealed under a key derived from the
// passphrase (scrypt), so a new passphrase rewrites only that object.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "apps/datamover/repository/Crypto.h"
#include "apps/datamover/repository/backend/ObjectStore.h"

namespace repo3 {

extern const char kConfigObject[];   // "config"
extern const char kKeyFileObject[];  // "keys/repokey"
constexpr int kRepositoryFormat = 3;

enum class Encryption { None, RepoKey };

// scrypt cost: 128 * n * r bytes of memory. The defaults take 64 MiB.
struct KdfParams {
    uint64_t n = 1u << 16;
    uint32_t r = 8;
    uint32_t p = 2;
};

struct RepoKeys {
    Encryption encryption = Encryption::None;
    std::string repositoryId;  // 32 hex digits, also bound into the key file
    Key master{};              // seals chunks and indexes
    Key mac{};                 // keys chunk ids
    bool Encrypted() const { return encryption == Encryption::RepoKey; }
};

// Anything that keeps the keys from being opened: wrong passphrase, missing or
// damaged key file or config. The message is one line meant for the user.
class KeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Makes a new repository in an empty store; throws KeyError when one is there.
RepoKeys InitRepository(ObjectStore& store, Encryption encryption, const std::string& passphrase,
                        const KdfParams& kdf = {});
// Opens an existing repository; `passphrase` is asked only when it is encrypted.
RepoKeys OpenRepository(const ObjectStore& store, const std::function<std::string()>& passphrase);
// Re-wraps the same keys under `newPassphrase`; only the key file changes.
void ChangePassphrase(ObjectStore& store, const std::string& oldPassphrase, const std::string& newPassphrase,
                      const KdfParams& kdf = {});

// The key file's text for `keys`, and its inverse (exposed for tests and tools).
std::string SealKeyFile(const RepoKeys& keys, const std::string& passphrase, const KdfParams& kdf);
RepoKeys OpenKeyFile(const std::string& text, const std::string& passphrase);

}  // namespace repo3
