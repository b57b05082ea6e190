// The chunks a repository holds, remembered in a local file between runs, so
// that a backup into a remote store asks about no chunk one by one: a chunk in
// the cache is taken as present without a request, any other is uploaded with
// a conditional PUT. The cache is trusted only while the repository's
// collection epoch (gc/epoch, replaced by every collection before it deletes a
// chunk) is the one it was built under; otherwise it is rebuilt from one
// listing of chunks/. Chunks are removed by nothing but a collection, which
// never runs while a backup's claim is live, so a valid cache never names a
// chunk that is gone. (An operator who deletes chunk objects by hand must also
// delete the cache files.)
#pragma once
#include <mutex>
#include <set>
#include <string>

#include "apps/datamover/repository/ChunkStore.h"

namespace repo3 {

class ChunkCache {
public:
    // Loads `file` (made under the epoch now in `store`), or rebuilds it from a
    // listing when it is missing, unreadable or of another epoch. Call only
    // while holding a backup claim (no collection deletes meanwhile).
    ChunkCache(const ObjectStore& store, const ChunkStore& chunks, std::string file);
    bool Known(const ChunkId& id) const;
    void Add(const ChunkId& id);
    // Writes the file whole (temporary, then rename); failures are ignored: the
    // cache is an optimisation, and the next run rebuilds it.
    void Save() const;
    bool Rebuilt() const { return m_rebuilt; }
    size_t Size() const;

private:
    std::string m_file;
    std::string m_epoch;
    bool m_rebuilt = false;
    mutable std::mutex m_mutex;
    std::set<ChunkId> m_ids;
};

}  // namespace repo3
