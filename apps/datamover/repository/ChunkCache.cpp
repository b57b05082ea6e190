#include "apps/datamover/repository/ChunkCache.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "apps/datamover/repository/GarbageCollector.h"

namespace repo3 {

namespace {
constexpr char kMagic[] = "datamover-chunk-cache-v1";
}

ChunkCache::ChunkCache(const ObjectStore& store, const ChunkStore& chunks, std::string file) : m_file(std::move(file))
{
    std::string epoch;
    m_epoch = store.Get(kGcEpochObject, epoch) ? epoch : "none\n";
    while (!m_epoch.empty() && m_epoch.back() == '\n') m_epoch.pop_back();
    std::ifstream in(m_file);
    std::string magic, fileEpoch, line;
    bool valid = in && std::getline(in, magic) && magic == kMagic && std::getline(in, fileEpoch) &&
                 fileEpoch == "epoch " + m_epoch;
    std::set<ChunkId> ids;
    while (valid && std::getline(in, line)) {
        if (line == "end") break;
        ChunkId id;
        if (!ParseChunkId(line, id)) {
            valid = false;
            break;
        }
        ids.insert(id);
    }
    valid = valid && line == "end";  // a file cut short is not trusted
    if (valid) {
        m_ids = std::move(ids);
        return;
    }
    for (const ChunkId& id : chunks.List()) m_ids.insert(id);
    m_rebuilt = true;
    Save();
}

bool ChunkCache::Known(const ChunkId& id) const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_ids.count(id) != 0;
}

void ChunkCache::Add(const ChunkId& id)
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_ids.insert(id);
}

size_t ChunkCache::Size() const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_ids.size();
}

void ChunkCache::Save() const
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(m_file).parent_path(), ec);
    const std::string tmp = m_file + ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << kMagic << "\nepoch " << m_epoch << "\n";
        std::lock_guard<std::mutex> g(m_mutex);
        for (const ChunkId& id : m_ids) out << ChunkIdHex(id) << "\n";
        out << "end\n";
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return;
        }
    }
    if (std::rename(tmp.c_str(), m_file.c_str()) != 0) std::remove(tmp.c_str());
}

}  // namespace repo3
