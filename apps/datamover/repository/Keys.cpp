#include "apps/datamover/repository/Keys.h"

#include <json/json.h>
#include <openssl/crypto.h>

#include <memory>
#include <sstream>

namespace repo3 {

const char kConfigObject[] = "config";
const char kKeyFileObject[] = "keys/repokey";

namespace {

constexpr int kKeyFileVersion = 1;
constexpr size_t kSaltBytes = 32;
constexpr size_t kRepoIdBytes = 16;
// Refused when a key file asks for more: a hostile file must not make us
// allocate gigabytes or spin for hours before the passphrase is even checked.
constexpr uint64_t kMaxScryptMemory = 1ull << 30;

std::string ToJsonText(const Json::Value& v)
{
    Json::StreamWriterBuilder b;
    b["indentation"] = "  ";
    return Json::writeString(b, v) + "\n";
}

Json::Value ParseJson(const std::string& text, const std::string& what)
{
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    b["failIfExtra"] = true;
    b["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string err;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &err) || !v.isObject()) {
        throw KeyError(what + " is not valid JSON");
    }
    return v;
}

std::string KdfAad(const std::string& repoId, const KdfParams& k, const std::string& saltHex)
{
    // Binds the repository and the KDF cost, so a file with weakened parameters does not open.
    std::ostringstream s;
    s << "datamover-keyfile-v1\n" << repoId << "\nscrypt n=" << k.n << " r=" << k.r << " p=" << k.p << "\n"
      << saltHex;
    return s.str();
}

void CheckKdf(const KdfParams& k)
{
    const bool pow2 = k.n >= 2 && (k.n & (k.n - 1)) == 0;
    if (!pow2 || k.n < 1024 || k.r < 1 || k.r > 32 || k.p < 1 || k.p > 16 || 128 * k.n * k.r > kMaxScryptMemory) {
        throw KeyError("key file: scrypt parameters out of range");
    }
}

struct Secret {
    uint8_t bytes[2 * kKeyBytes];
    ~Secret() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

}  // namespace

std::string SealKeyFile(const RepoKeys& keys, const std::string& passphrase, const KdfParams& kdf)
{
    if (!keys.Encrypted()) {
        throw KeyError("an unencrypted repository has no key file");
    }
    if (passphrase.empty()) {
        throw KeyError("the passphrase is empty");
    }
    CheckKdf(kdf);
    std::string salt(kSaltBytes, '\0');
    RandomBytes(&salt[0], salt.size());
    const std::string saltHex = ToHex(salt.data(), salt.size());
    Key wrap = Scrypt(passphrase, salt, kdf.n, kdf.r, kdf.p);
    uint8_t nonce[kNonceBytes];
    RandomBytes(nonce, sizeof nonce);
    Secret s;
    std::copy(keys.master.begin(), keys.master.end(), s.bytes);
    std::copy(keys.mac.begin(), keys.mac.end(), s.bytes + kKeyBytes);
    std::string sealed;
    AeadSeal(wrap, nonce, KdfAad(keys.repositoryId, kdf, saltHex), s.bytes, sizeof s.bytes, sealed);
    OPENSSL_cleanse(wrap.data(), wrap.size());

    Json::Value v;
    v["version"] = kKeyFileVersion;
    v["repository_id"] = keys.repositoryId;
    v["kdf"]["algorithm"] = "scrypt";
    v["kdf"]["n"] = Json::UInt64(kdf.n);
    v["kdf"]["r"] = kdf.r;
    v["kdf"]["p"] = kdf.p;
    v["kdf"]["salt"] = saltHex;
    v["cipher"] = "aes-256-gcm";
    v["nonce"] = ToHex(nonce, sizeof nonce);
    v["sealed"] = ToHex(sealed.data(), sealed.size());
    return ToJsonText(v);
}

RepoKeys OpenKeyFile(const std::string& text, const std::string& passphrase)
{
    const Json::Value v = ParseJson(text, "key file");
    const Json::Value& kdfv = v["kdf"];
    if (v["version"] != kKeyFileVersion || !v["repository_id"].isString() || !kdfv.isObject() ||
        kdfv["algorithm"] != "scrypt" || !kdfv["n"].isUInt64() || !kdfv["r"].isUInt() || !kdfv["p"].isUInt() ||
        !kdfv["salt"].isString() || v["cipher"] != "aes-256-gcm" || !v["nonce"].isString() ||
        !v["sealed"].isString()) {
        throw KeyError("key file is damaged (missing or unknown fields)");
    }
    KdfParams kdf{kdfv["n"].asUInt64(), kdfv["r"].asUInt(), kdfv["p"].asUInt()};
    CheckKdf(kdf);
    const std::string saltHex = kdfv["salt"].asString();
    std::string salt(kSaltBytes, '\0');
    uint8_t nonce[kNonceBytes];
    std::string sealed(2 * kKeyBytes + kTagBytes, '\0');
    if (!FromHex(saltHex, &salt[0], salt.size()) || !FromHex(v["nonce"].asString(), nonce, sizeof nonce) ||
        !FromHex(v["sealed"].asString(), &sealed[0], sealed.size())) {
        throw KeyError("key file is damaged (bad hex fields)");
    }
    RepoKeys keys;
    keys.encryption = Encryption::RepoKey;
    keys.repositoryId = v["repository_id"].asString();
    Key wrap = Scrypt(passphrase, salt, kdf.n, kdf.r, kdf.p);
    std::string plain;
    const bool ok = AeadOpen(wrap, nonce, KdfAad(keys.repositoryId, kdf, saltHex), sealed.data(), sealed.size(), plain);
    OPENSSL_cleanse(wrap.data(), wrap.size());
    if (!ok || plain.size() != 2 * kKeyBytes) {
        // A damaged file cannot be told apart from a wrong passphrase; say both.
        throw KeyError("wrong passphrase (or a damaged key file)");
    }
    std::copy(plain.begin(), plain.begin() + kKeyBytes, keys.master.begin());
    std::copy(plain.begin() + kKeyBytes, plain.end(), keys.mac.begin());
    OPENSSL_cleanse(&plain[0], plain.size());
    return keys;
}

RepoKeys InitRepository(ObjectStore& store, Encryption encryption, const std::string& passphrase,
                        const KdfParams& kdf)
{
    if (store.Exists(kConfigObject)) {
        throw KeyError("a repository already exists at " + store.Describe());
    }
    // Anything else there (an older repository, unrelated files) is not ours to
    // mix with; only a crashed init's key file may be left.
    for (const std::string& name : store.List("")) {
        if (name != kKeyFileObject) {
            throw KeyError(store.Describe() + " is not empty (holds " + name + ")");
        }
    }
    RepoKeys keys;
    keys.encryption = encryption;
    uint8_t id[kRepoIdBytes];
    RandomBytes(id, sizeof id);
    keys.repositoryId = ToHex(id, sizeof id);
    if (keys.Encrypted()) {
        RandomBytes(keys.master.data(), keys.master.size());
        RandomBytes(keys.mac.data(), keys.mac.size());
        // The key file lands before the config: a repository that says
        // "encrypted" always has one. A leftover from a crashed init is replaced.
        store.Replace(kKeyFileObject, SealKeyFile(keys, passphrase, kdf));
    }
    Json::Value c;
    c["format"] = kRepositoryFormat;
    c["repository_id"] = keys.repositoryId;
    c["encryption"] = keys.Encrypted() ? "repokey" : "none";
    c["chunk_id"] = keys.Encrypted() ? "hmac-sha256" : "sha256";
    if (store.PutIfAbsent(kConfigObject, ToJsonText(c))) {
        throw KeyError("a repository was created at " + store.Describe() + " at the same time");
    }
    return keys;
}

RepoKeys OpenRepository(const ObjectStore& store, const std::function<std::string()>& passphrase)
{
    std::string text;
    if (!store.Get(kConfigObject, text)) {
        throw KeyError("no format-3 repository at " + store.Describe() + " (config missing)");
    }
    const Json::Value c = ParseJson(text, "repository config");
    if (c["format"] != kRepositoryFormat || !c["repository_id"].isString()) {
        throw KeyError("repository config is damaged or of another format");
    }
    const std::string repoId = c["repository_id"].asString();
    if (c["encryption"] == "none" && c["chunk_id"] == "sha256") {
        RepoKeys keys;
        keys.repositoryId = repoId;
        return keys;
    }
    if (c["encryption"] != "repokey" || c["chunk_id"] != "hmac-sha256") {
        throw KeyError("repository config names an unknown encryption");
    }
    std::string keyText;
    if (!store.Get(kKeyFileObject, keyText)) {
        // Never fall back to "none": the config says the data is encrypted.
        throw KeyError("the repository is encrypted but its key file (" + std::string(kKeyFileObject) +
                       ") is missing");
    }
    RepoKeys keys = OpenKeyFile(keyText, passphrase());
    if (keys.repositoryId != repoId) {
        throw KeyError("the key file belongs to another repository");
    }
    return keys;
}

void ChangePassphrase(ObjectStore& store, const std::string& oldPassphrase, const std::string& newPassphrase,
                      const KdfParams& kdf)
{
    RepoKeys keys = OpenRepository(store, [&] { return oldPassphrase; });
    if (!keys.Encrypted()) {
        throw KeyError("the repository is not encrypted; it has no passphrase");
    }
    store.Replace(kKeyFileObject, SealKeyFile(keys, newPassphrase, kdf));
}

}  // namespace repo3
