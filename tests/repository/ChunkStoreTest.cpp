// Chunks: round trips in every mode, raw storage of incompressible data, dedup,
// and every way a chunk file can be wrong being refused with the chunk named.
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>

#include "apps/datamover/repository/ChunkStore.h"
#include "tests/repository/RepoTestUtil.h"

using namespace repo3;

namespace {

struct Repo : repotest::TestRepo {
    explicit Repo(Encryption e, ChunkOptions o = {}) : TestRepo(e), chunks(store, keys, o) {}
    ChunkStore chunks;
};

class ChunkModes : public ::testing::TestWithParam<Encryption> {};

TEST_P(ChunkModes, RoundTripsEveryShapeAndStoresIncompressibleRaw)
{
    const struct {
        const char* what;
        std::string data;
        bool compressible;
    } cases[] = {
        {"4 MiB half-compressible", repotest::HalfCompressible(4 << 20, 1), true},
        {"4 MiB random", repotest::RandomBytes(4 << 20, 2), false},
        {"one byte", std::string(1, '\x7f'), false},
        {"short last block", repotest::HalfCompressible(4097, 3), true},
        {"mostly zeros, one byte set", std::string(65535, '\0') + "x", true},
    };
    for (int level : {-5, 1, 19}) {
        Repo r(GetParam(), ChunkOptions{level});
        for (const auto& c : cases) {
            const PutResult p = r.chunks.Put(c.data.data(), c.data.size());
            EXPECT_TRUE(p.stored) << c.what;
            EXPECT_EQ(p.compressed, c.compressible) << c.what << " level " << level;
            std::string file;
            ASSERT_TRUE(r.store.Get(ChunkStore::ObjectName(p.id), file));
            EXPECT_EQ(file.size(), p.storedBytes);
            const size_t overhead = kChunkHeaderBytes + (r.keys.Encrypted() ? kTagBytes : 0);
            if (c.compressible) {
                EXPECT_LT(file.size(), c.data.size()) << c.what;
            } else {
                EXPECT_EQ(file.size(), c.data.size() + overhead) << c.what << ": raw, never grown by compression";
            }
            EXPECT_EQ(r.chunks.Get(p.id), c.data) << c.what;
        }
    }
}

TEST_P(ChunkModes, SameBlockIsStoredOnceAndZeroBlocksNever)
{
    Repo r(GetParam());
    const std::string a = repotest::HalfCompressible(1 << 20, 7);
    const PutResult first = r.chunks.Put(a.data(), a.size());
    const PutResult again = r.chunks.Put(a.data(), a.size());
    EXPECT_TRUE(first.stored);
    EXPECT_FALSE(again.stored);
    EXPECT_EQ(again.storedBytes, 0u);
    EXPECT_EQ(first.id, again.id);
    EXPECT_EQ(r.chunks.List().size(), 1u);
    const std::string zeros(4 << 20, '\0');
    EXPECT_THROW(r.chunks.Put(zeros.data(), zeros.size()), std::invalid_argument);
    EXPECT_EQ(r.chunks.List().size(), 1u);
    EXPECT_TRUE(IsAllZero(zeros.data(), zeros.size()));
    std::string almost = zeros;
    almost.back() = 1;
    EXPECT_FALSE(IsAllZero(almost.data(), almost.size()));
}

INSTANTIATE_TEST_SUITE_P(Modes, ChunkModes, ::testing::Values(Encryption::None, Encryption::RepoKey),
                         [](const auto& i) { return i.param == Encryption::None ? "Plain" : "Encrypted"; });

TEST(ChunkIds, EncryptedIdsAreKeyedAndRevealNothingOfThePlainHash)
{
    Repo a(Encryption::RepoKey);
    Repo b(Encryption::RepoKey);
    const std::string data = "some block";
    EXPECT_NE(a.chunks.IdOf(data.data(), data.size()), b.chunks.IdOf(data.data(), data.size()));
    EXPECT_EQ(a.chunks.IdOf(data.data(), data.size()), HmacSha256(a.keys.mac, data.data(), data.size()));
    EXPECT_NE(a.chunks.IdOf(data.data(), data.size()), Sha256(data.data(), data.size()));
}

// Each damage applied to a stored chunk file; every one must be refused by
// Get with the chunk's id in the message.
TEST_P(ChunkModes, DamagedSwappedOrForeignChunksAreRefusedAndNamed)
{
    Repo r(GetParam());
    Repo other(GetParam());  // another repository: another key when encrypted
    const std::string a = repotest::HalfCompressible(1 << 20, 11);
    const std::string b = repotest::RandomBytes(1 << 20, 12);
    const ChunkId idA = r.chunks.Put(a.data(), a.size()).id;
    const ChunkId idB = r.chunks.Put(b.data(), b.size()).id;
    std::string fileA, fileB;
    r.store.Get(ChunkStore::ObjectName(idA), fileA);
    r.store.Get(ChunkStore::ObjectName(idB), fileB);
    const ChunkId otherId = other.chunks.Put(a.data(), a.size()).id;
    std::string foreign;
    other.store.Get(ChunkStore::ObjectName(otherId), foreign);

    const auto flip = repotest::Flip;
    const struct {
        const char* what;
        std::string file;
    } cases[] = {
        {"empty", ""},
        {"header only", fileA.substr(0, kChunkHeaderBytes)},
        {"truncated by one byte", fileA.substr(0, fileA.size() - 1)},
        {"truncated to half", fileA.substr(0, fileA.size() / 2)},
        {"extended by one byte", fileA + "x"},
        {"payload byte flipped", flip(fileA, fileA.size() / 2)},
        {"last byte flipped", flip(fileA, fileA.size() - 1)},
        {"magic flipped", flip(fileA, 0)},
        {"compression flag flipped", flip(fileA, 5)},
        {"cipher flag flipped", flip(fileA, 6)},
        {"plain length changed", flip(fileA, 8)},
        {"plain length raised past the block", flip(fileA, 10)},
        {"nonce flipped", flip(fileA, 16)},
        {"another chunk's file", fileB},
        {"same block from another repository", foreign},
    };
    for (const auto& c : cases) {
        if (!r.keys.Encrypted() && c.file == foreign) {
            continue;  // unencrypted, the same block is the same chunk file in every repository
        }
        r.store.Replace(ChunkStore::ObjectName(idA), c.file);
        try {
            const std::string got = r.chunks.Get(idA);
            ADD_FAILURE() << c.what << ": returned " << got.size() << " bytes";
        } catch (const ChunkError& e) {
            EXPECT_EQ(e.chunkId, ChunkIdHex(idA)) << c.what;
            EXPECT_NE(std::string(e.what()).find(ChunkIdHex(idA)), std::string::npos) << c.what;
        }
        // Into a buffer of the block's size, as a restore reads: damage, never a length to trust.
        std::string block(a.size(), '\0');
        EXPECT_THROW(r.chunks.GetInto(idA, &block[0], block.size()), ChunkError) << c.what;
    }
    r.store.Delete(ChunkStore::ObjectName(idA));
    EXPECT_THROW(r.chunks.Get(idA), ChunkError);
    EXPECT_EQ(r.chunks.Get(idB), b) << "damage to one chunk leaves the others";
}

TEST(ChunkIds, APlaintextChunkPlantedInAnEncryptedRepositoryIsRefused)
{
    Repo enc(Encryption::RepoKey);
    RepoKeys plainKeys = enc.keys;
    plainKeys.encryption = Encryption::None;
    const std::string data = repotest::HalfCompressible(4096, 5);
    // A plain chunk file under the id the encrypted repository expects.
    const ChunkId id = enc.chunks.IdOf(data.data(), data.size());
    ChunkStore plain(enc.store, plainKeys);
    enc.store.Replace(ChunkStore::ObjectName(id), plain.Encode(id, data.data(), data.size()));
    EXPECT_THROW(enc.chunks.Get(id), ChunkError);
}

TEST(ChunkIds, ListSkipsObjectsThatAreNotChunkNames)
{
    Repo r(Encryption::None);
    const std::string data = "x";
    const ChunkId id = r.chunks.Put(data.data(), data.size()).id;
    const std::string hex = ChunkIdHex(id);
    r.store.PutIfAbsent("chunks/" + hex.substr(0, 2) + "/" + hex + "x", "junk");
    r.store.PutIfAbsent("chunks/zz/" + hex, "wrong fan-out directory");
    r.store.PutIfAbsent("chunks/" + hex.substr(0, 2) + "/" + std::string(64, 'A'), "upper case");
    EXPECT_EQ(r.chunks.List(), std::vector<ChunkId>{id});
    EXPECT_THROW(Repo(Encryption::None, ChunkOptions{1000}), std::invalid_argument);
}

}  // namespace

namespace {

// A reader written from FORMAT3.md alone opens a sealed, compressed chunk.
TEST(ChunkLayout, SealedChunkOpensByTheDocument)
{
    Repo r(Encryption::RepoKey);
    const std::string data = repotest::HalfCompressible(100000, 9);
    const ChunkId id = r.chunks.Put(data.data(), data.size()).id;
    std::string file;
    ASSERT_TRUE(r.store.Get("chunks/" + ChunkIdHex(id).substr(0, 2) + "/" + ChunkIdHex(id), file));
    ASSERT_GE(file.size(), 32u);
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) {
            v = v << 8 | static_cast<uint8_t>(file[at + i]);
        }
        return v;
    };
    EXPECT_EQ(file.substr(0, 4), "DMC3");
    EXPECT_EQ(file[4], 1);
    EXPECT_EQ(file[5], 1) << "zstd";
    EXPECT_EQ(file[6], 1) << "AES-256-GCM";
    EXPECT_EQ(u32(8), data.size());
    EXPECT_EQ(u32(12), file.size() - 32);
    uint8_t nonce[kNonceBytes];
    std::memcpy(nonce, file.data() + 16, sizeof nonce);
    std::string aad = std::string("datamover-chunk-v1", 19) + std::string(id.begin(), id.end()) + file.substr(0, 32);
    std::string packed;
    ASSERT_TRUE(AeadOpen(r.keys.master, nonce, aad, file.data() + 32, file.size() - 32, packed));
    std::string plain(data.size(), '\0');
    ASSERT_EQ(ZSTD_decompress(&plain[0], plain.size(), packed.data(), packed.size()), data.size());
    EXPECT_EQ(plain, data);
    EXPECT_EQ(HmacSha256(r.keys.mac, plain.data(), plain.size()), id);
}

}  // namespace
