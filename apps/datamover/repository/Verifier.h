// Checks a repository from its own records: every index read and
// authenticated, then every chunk they reference read once (however many
// backups share it), or a subset of them; a damaged or missing chunk is
// reported with every backup that uses it.
#pragma once
#include <string>
#include <vector>

#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/Index.h"

namespace repo3 {

// Which chunks to read: part N of T ("N/T", rotating N over T runs reads them
// all) or about P percent ("P%", a fresh random share each run).
struct VerifySubset {
    uint32_t part = 1;
    uint32_t of = 1;
    double percent = 100;  // used when `of` is 0
};

// "N/T" with 1 <= N <= T, or "P%" with 0 < P <= 100; false with the reason.
bool ParseSubset(const std::string& text, VerifySubset& subset, std::string& error);

struct DamagedIndex {
    IndexName name;
    std::string error;
};

struct DamagedChunk {
    ChunkId id{};
    std::string error;
    std::vector<IndexName> usedBy;  // every readable index naming it
};

struct VerifyReport {
    size_t indexes = 0;     // indexes read
    size_t referenced = 0;  // distinct chunks the readable indexes name
    size_t chunksRead = 0;
    std::vector<DamagedIndex> damagedIndexes;
    std::vector<DamagedChunk> damagedChunks;
    bool Clean() const { return damagedIndexes.empty() && damagedChunks.empty(); }
};

VerifyReport VerifyRepository(ObjectStore& store, const RepoKeys& keys, const VerifySubset& subset = {});

}  // namespace repo3
