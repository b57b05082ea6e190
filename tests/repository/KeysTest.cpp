// Repository keys: init and open, one clear error for a wrong passphrase or a
// missing key file, passphrase change touching only the key file, and key
// files that were tampered with.
#include <gtest/gtest.h>
#include <json/json.h>

#include <map>

#include "apps/datamover/repository/ChunkStore.h"
#include "tests/repository/RepoTestUtil.h"

using namespace repo3;

namespace {

std::function<std::string()> Pass(const std::string& p)
{
    return [p] { return p; };
}

std::string OneLineError(const std::function<void()>& f)
{
    try {
        f();
    } catch (const KeyError& e) {
        return e.what();
    }
    return "<no KeyError>";
}

std::map<std::string, std::string> Snapshot(const ObjectStore& s)
{
    std::map<std::string, std::string> m;
    for (const auto& n : s.List("")) {
        s.Get(n, m[n]);
    }
    return m;
}

// Each test starts with an empty store of its own.
class Keys : public ::testing::Test {
protected:
    repotest::TempDir dir;
    LocalDirStore s{dir.Path()};
};

TEST_F(Keys, EncryptedRepositoryOpensOnlyWithItsPassphrase)
{
    const RepoKeys made = InitRepository(s, Encryption::RepoKey, "correct horse", repotest::FastKdf());
    EXPECT_TRUE(made.Encrypted());
    EXPECT_NE(made.master, made.mac);
    EXPECT_NE(made.master, Key{});

    const RepoKeys opened = OpenRepository(s, Pass("correct horse"));
    EXPECT_EQ(opened.master, made.master);
    EXPECT_EQ(opened.mac, made.mac);
    EXPECT_EQ(opened.repositoryId, made.repositoryId);

    const std::string err = OneLineError([&] { OpenRepository(s, Pass("correct horse ")); });
    EXPECT_NE(err.find("wrong passphrase"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << "one line: " << err;

    EXPECT_THROW(InitRepository(s, Encryption::None, "", repotest::FastKdf()), KeyError) << "second init";
    repotest::TempDir other;
    LocalDirStore o(other.Path());
    EXPECT_THROW(InitRepository(o, Encryption::RepoKey, "", repotest::FastKdf()), KeyError) << "empty passphrase";
    EXPECT_FALSE(o.Exists(kConfigObject));
    o.PutIfAbsent("DATAMOVER-REPOSITORY", "{\"format\":2}");  // an older repository
    const std::string notEmpty = OneLineError([&] { InitRepository(o, Encryption::None, "", repotest::FastKdf()); });
    EXPECT_NE(notEmpty.find("not empty"), std::string::npos) << notEmpty;
}

TEST_F(Keys, MissingKeyFileOrConfigIsOneClearErrorNeverPlaintext)
{
    InitRepository(s, Encryption::RepoKey, "pw", repotest::FastKdf());
    s.Delete(kKeyFileObject);
    bool asked = false;
    const std::string err = OneLineError([&] {
        OpenRepository(s, [&] {
            asked = true;
            return std::string("pw");
        });
    });
    EXPECT_NE(err.find("key file"), std::string::npos) << err;
    EXPECT_NE(err.find("missing"), std::string::npos) << err;
    EXPECT_FALSE(asked) << "no passphrase prompt when there is nothing to open";
    s.Delete(kConfigObject);
    EXPECT_NE(OneLineError([&] { OpenRepository(s, Pass("pw")); }).find("config missing"), std::string::npos);
}

TEST_F(Keys, UnencryptedRepositoryHasNoKeyFileAndPlainSha256Ids)
{
    InitRepository(s, Encryption::None, "", repotest::FastKdf());
    EXPECT_FALSE(s.Exists(kKeyFileObject));
    const RepoKeys k = OpenRepository(s, [] () -> std::string { throw std::logic_error("asked for a passphrase"); });
    EXPECT_FALSE(k.Encrypted());
    ChunkStore chunks(s, k);
    // FIPS 180-2 test vector: the id of an unencrypted chunk is the SHA-256 of its bytes.
    EXPECT_EQ(ChunkIdHex(chunks.IdOf("abc", 3)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_THROW(ChangePassphrase(s, "", "new", repotest::FastKdf()), KeyError);
}

TEST_F(Keys, PassphraseChangeRewritesOnlyTheKeyFileAndKeepsDataReadable)
{
    const RepoKeys k = InitRepository(s, Encryption::RepoKey, "old", repotest::FastKdf());
    ChunkStore chunks(s, k);
    const std::string block = repotest::HalfCompressible(65536, 1);
    const ChunkId id = chunks.Put(block.data(), block.size()).id;
    auto before = Snapshot(s);

    EXPECT_THROW(ChangePassphrase(s, "wrong", "new", repotest::FastKdf()), KeyError);
    EXPECT_EQ(Snapshot(s), before) << "a refused change leaves everything";
    ChangePassphrase(s, "old", "new", repotest::FastKdf());
    auto after = Snapshot(s);
    EXPECT_NE(after[kKeyFileObject], before[kKeyFileObject]);
    after.erase(kKeyFileObject);
    before.erase(kKeyFileObject);
    EXPECT_EQ(after, before) << "only the key file may change";

    EXPECT_THROW(OpenRepository(s, Pass("old")), KeyError);
    const RepoKeys reopened = OpenRepository(s, Pass("new"));
    EXPECT_EQ(ChunkStore(s, reopened).Get(id), block);
}

TEST_F(Keys, TamperedKeyFilesAreRefusedBeforeAnyCostlyWork)
{
    const RepoKeys k = InitRepository(s, Encryption::RepoKey, "pw", repotest::FastKdf());
    std::string text;
    ASSERT_TRUE(s.Get(kKeyFileObject, text));
    Json::Value orig;
    ASSERT_TRUE(repotest::ParseJson(text, orig));
    const struct {
        const char* what;
        std::function<void(Json::Value&)> edit;
        const char* expect;
    } cases[] = {
        {"weaker scrypt cost", [](Json::Value& v) { v["kdf"]["n"] = 2048; }, "wrong passphrase"},
        {"another repository id", [](Json::Value& v) { v["repository_id"] = std::string(32, '0'); },
         "wrong passphrase"},
        {"another salt", [](Json::Value& v) { v["kdf"]["salt"] = std::string(64, 'a'); }, "wrong passphrase"},
        {"flipped sealed byte",
         [](Json::Value& v) {
             std::string h = v["sealed"].asString();
             h[0] = h[0] == '0' ? '1' : '0';
             v["sealed"] = h;
         },
         "wrong passphrase"},
        {"huge scrypt memory", [](Json::Value& v) { v["kdf"]["n"] = Json::UInt64(1) << 40; }, "out of range"},
        {"n not a power of two", [](Json::Value& v) { v["kdf"]["n"] = 3000; }, "out of range"},
        {"unknown kdf", [](Json::Value& v) { v["kdf"]["algorithm"] = "pbkdf2"; }, "damaged"},
        {"short sealed", [](Json::Value& v) { v["sealed"] = "00"; }, "damaged"},
        {"no version", [](Json::Value& v) { v.removeMember("version"); }, "damaged"},
    };
    for (const auto& c : cases) {
        Json::Value v = orig;
        c.edit(v);
        const std::string err = OneLineError([&] { OpenKeyFile(repotest::WriteJson(v), "pw"); });
        EXPECT_NE(err.find(c.expect), std::string::npos) << c.what << ": " << err;
    }
    EXPECT_NE(OneLineError([&] { OpenKeyFile("{not json", "pw"); }).find("not valid JSON"), std::string::npos);

    // The key file of another repository (same passphrase) is refused by id.
    repotest::TempDir otherDir;
    LocalDirStore other(otherDir.Path());
    InitRepository(other, Encryption::RepoKey, "pw", repotest::FastKdf());
    std::string otherKey;
    other.Get(kKeyFileObject, otherKey);
    s.Replace(kKeyFileObject, otherKey);
    EXPECT_NE(OneLineError([&] { OpenRepository(s, Pass("pw")); }).find("another repository"), std::string::npos);
    (void)k;
}

TEST_F(Keys, DefaultKdfParametersRoundTrip)
{
    // The shipped cost once, end to end (the other tests use a cheap one).
    RepoKeys k;
    k.encryption = Encryption::RepoKey;
    k.repositoryId = std::string(32, 'a');
    RandomBytes(k.master.data(), k.master.size());
    RandomBytes(k.mac.data(), k.mac.size());
    const std::string file = SealKeyFile(k, "pw", KdfParams{});
    EXPECT_NE(file.find("\"n\" : 65536"), std::string::npos) << file;
    const RepoKeys back = OpenKeyFile(file, "pw");
    EXPECT_EQ(back.master, k.master);
    EXPECT_EQ(back.mac, k.mac);
}

}  // namespace

namespace {

class KeyFileLayout : public Keys {};

// A reader written from FORMAT3.md alone unwraps the key file.
TEST_F(KeyFileLayout, UnwrapsByTheDocument)
{
    const RepoKeys k = InitRepository(s, Encryption::RepoKey, "pw", repotest::FastKdf());
    std::string text;
    ASSERT_TRUE(s.Get("keys/repokey", text));
    Json::Value v;
    ASSERT_TRUE(repotest::ParseJson(text, v));
    const Json::Value& kdf = v["kdf"];
    std::string salt(32, '\0'), sealed(80, '\0');
    uint8_t nonce[kNonceBytes];
    ASSERT_TRUE(FromHex(kdf["salt"].asString(), &salt[0], salt.size()));
    ASSERT_TRUE(FromHex(v["nonce"].asString(), nonce, sizeof nonce));
    ASSERT_TRUE(FromHex(v["sealed"].asString(), &sealed[0], sealed.size()));
    const Key wrap = Scrypt("pw", salt, kdf["n"].asUInt64(), kdf["r"].asUInt(), kdf["p"].asUInt());
    const std::string aad = "datamover-keyfile-v1\n" + v["repository_id"].asString() + "\nscrypt n=" +
                            std::to_string(kdf["n"].asUInt64()) + " r=" + std::to_string(kdf["r"].asUInt()) +
                            " p=" + std::to_string(kdf["p"].asUInt()) + "\n" + kdf["salt"].asString();
    std::string plain;
    ASSERT_TRUE(AeadOpen(wrap, nonce, aad, sealed.data(), sealed.size(), plain));
    EXPECT_EQ(plain, std::string(k.master.begin(), k.master.end()) + std::string(k.mac.begin(), k.mac.end()));
    std::string config;
    ASSERT_TRUE(s.Get("config", config));
    ASSERT_TRUE(repotest::ParseJson(config, v));
    EXPECT_EQ(v["encryption"].asString(), "repokey");
    EXPECT_EQ(v["chunk_id"].asString(), "hmac-sha256");
    EXPECT_EQ(v["format"].asInt(), 3);
}

}  // namespace
