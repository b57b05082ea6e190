// Shared pieces of the repository tests: a throw-away directory, a store that
// fails on demand (kill points), and block contents of known compressibility.
#pragma once
#include <ftw.h>
#include <stdlib.h>

#include <json/json.h>

#include <atomic>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/Index.h"
#include "apps/datamover/repository/Keys.h"
#include "apps/datamover/repository/backend/LocalDirStore.h"

namespace repotest {

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/dm_repo3_XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = tmpl;
    }
    ~TempDir()
    {
        ::nftw(m_path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
               FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// `f` with the bit 0 of byte `at` flipped: the smallest damage a check must see.
inline std::string Flip(std::string f, size_t at)
{
    f[at] = static_cast<char>(f[at] ^ 0x01);
    return f;
}

// A backup's index of `blocks`, 4 KiB each ("" for a zero block, else the text
// padded with '.'), its chunks stored and the index written.
inline repo3::BackupIndex StoreIndex(repo3::ObjectStore& store, const repo3::RepoKeys& keys, const std::string& volume,
                                     const std::string& id, const std::vector<std::string>& blocks)
{
    repo3::ChunkStore chunks(store, keys);
    repo3::BackupIndex x;
    x.meta.volumeId = volume;
    x.meta.backupId = id;
    x.meta.blockSize = 4096;
    x.meta.volumeSize = 4096 * blocks.size();
    for (const auto& b : blocks) {
        const std::string data = b + std::string(4096 - b.size(), '.');
        x.blocks.push_back(b.empty() ? std::nullopt : std::optional<repo3::ChunkId>(chunks.Put(data.data(), 4096).id));
    }
    repo3::IndexStore(store, keys).Write(x);
    return x;
}

// Cheap scrypt for tests: the cost is a parameter, not what is under test.
inline repo3::KdfParams FastKdf()
{
    return repo3::KdfParams{1024, 8, 1};
}

// A fresh repository in a directory of its own.
struct TestRepo {
    explicit TestRepo(repo3::Encryption e = repo3::Encryption::RepoKey)
        : store(dir.Path()), keys(repo3::InitRepository(store, e, "pw", FastKdf()))
    {
    }
    // One 4 KiB block per entry ("" for zero), stored and indexed.
    repo3::BackupIndex Add(const std::string& volume, const std::string& id, const std::vector<std::string>& blocks)
    {
        return StoreIndex(store, keys, volume, id, blocks);
    }
    TempDir dir;
    repo3::LocalDirStore store;
    repo3::RepoKeys keys;
};

// A store that stops working after a given number of writes or deletes, like a
// process killed at that point: nothing after it reaches the disk.
class FailingStore : public repo3::ObjectStore {
public:
    explicit FailingStore(repo3::ObjectStore& inner) : m_inner(inner) {}
    int mutationsLeft = -1;  // < 0: never fail

    bool PutIfAbsent(const std::string& n, const std::string& d) override
    {
        Step();
        return m_inner.PutIfAbsent(n, d);
    }
    void Replace(const std::string& n, const std::string& d) override
    {
        Step();
        m_inner.Replace(n, d);
    }
    bool Get(const std::string& n, std::string& d) const override { return m_inner.Get(n, d); }
    bool Exists(const std::string& n) const override { return m_inner.Exists(n); }
    std::vector<std::string> List(const std::string& p) const override { return m_inner.List(p); }
    bool Delete(const std::string& n) override
    {
        Step();
        return m_inner.Delete(n);
    }
    std::string Describe() const override { return m_inner.Describe(); }

private:
    void Step()
    {
        if (mutationsLeft == 0) {
            throw repo3::StorageError("killed");
        }
        if (mutationsLeft > 0) {
            --mutationsLeft;
        }
    }
    repo3::ObjectStore& m_inner;
};

inline std::string RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

// Half random, half a repeated pattern: compresses to a little over half.
inline std::string HalfCompressible(size_t n, uint32_t seed)
{
    std::string s = RandomBytes(n, seed);
    for (size_t i = n / 2; i < n; ++i) {
        s[i] = static_cast<char>("datamover"[i % 9]);
    }
    return s;
}

inline bool ParseJson(const std::string& text, Json::Value& v)
{
    std::unique_ptr<Json::CharReader> r(Json::CharReaderBuilder().newCharReader());
    std::string err;
    return r->parse(text.data(), text.data() + text.size(), &v, &err);
}

inline std::string WriteJson(const Json::Value& v)
{
    return Json::writeString(Json::StreamWriterBuilder(), v);
}

}  // namespace repotest
