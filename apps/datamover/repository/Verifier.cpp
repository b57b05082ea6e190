#include "apps/datamover/repository/Verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace repo3 {

namespace {

uint64_t Prefix64(const ChunkId& id)
{
    uint64_t v = 0;
    std::memcpy(&v, id.data(), sizeof v);
    return v;
}

bool ParseUint(const std::string& s, uint32_t& out)
{
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
    return true;
}

}  // namespace

bool ParseSubset(const std::string& text, VerifySubset& subset, std::string& error)
{
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        uint32_t n = 0, t = 0;
        if (!ParseUint(text.substr(0, slash), n) || !ParseUint(text.substr(slash + 1), t) || n < 1 || n > t) {
            error = "subset '" + text + "': expected N/T with 1 <= N <= T";
            return false;
        }
        subset = VerifySubset{n, t, 100};
        return true;
    }
    if (text.size() >= 2 && text.back() == '%') {
        const std::string num = text.substr(0, text.size() - 1);
        char* end = nullptr;
        const double p = std::strtod(num.c_str(), &end);
        if (end == num.c_str() + num.size() && num.find_first_not_of("0123456789.") == std::string::npos && p > 0 &&
            p <= 100) {
            subset = VerifySubset{1, 0, p};
            return true;
        }
    }
    error = "subset '" + text + "': expected N/T or a percentage such as 10%";
    return false;
}

VerifyReport VerifyRepository(ObjectStore& store, const RepoKeys& keys, const VerifySubset& subset)
{
    VerifyReport report;
    IndexStore indexes(store, keys);
    ChunkStore chunks(store, keys);
    std::vector<IndexName> readable;
    std::vector<ChunkId> referenced;
    uint64_t largestBlock = 0;
    for (const IndexName& n : indexes.List()) {
        try {
            const BackupIndex index = indexes.Read(n.volumeId, n.backupId);
            largestBlock = std::max(largestBlock, index.meta.blockSize);
            for (const auto& b : index.blocks) {
                if (b) {
                    referenced.push_back(*b);
                }
            }
            readable.push_back(n);
        } catch (const IndexError& e) {
            report.damagedIndexes.push_back({n, e.what()});
        }
    }
    report.indexes = readable.size();
    std::sort(referenced.begin(), referenced.end());
    referenced.erase(std::unique(referenced.begin(), referenced.end()), referenced.end());
    report.referenced = referenced.size();

    // Ids are uniformly distributed (hash or MAC outputs), so their first bytes split them evenly.
    uint64_t rotation = 0;
    if (subset.of == 0) {
        RandomBytes(&rotation, sizeof rotation);
    }
    const uint64_t share = static_cast<uint64_t>(subset.percent * 100);  // of 10000
    // One buffer for every chunk; a chunk longer than any block still opens (and is checked).
    std::string plain(std::min<uint64_t>(largestBlock, kMaxChunkBytes), '\0');
    for (const ChunkId& id : referenced) {
        const uint64_t p = Prefix64(id);
        const bool selected = subset.of == 0 ? (p + rotation) % 10000 < share : p % subset.of == subset.part - 1;
        if (!selected) {
            continue;
        }
        ++report.chunksRead;
        try {
            const size_t n = chunks.GetInto(id, &plain[0], plain.size());
            if (n > plain.size()) {
                plain.resize(n);
                chunks.GetInto(id, &plain[0], plain.size());
            }
        } catch (const ChunkError& e) {
            report.damagedChunks.push_back({id, e.what(), {}});
        } catch (const StorageError& e) {
            report.damagedChunks.push_back({id, std::string("chunk ") + ChunkIdHex(id) + ": " + e.what(), {}});
        }
    }
    if (report.damagedChunks.empty()) {
        return report;
    }
    // Damage is rare: a second pass names the users rather than keeping a
    // chunk-to-backups map for the whole repository in memory.
    std::sort(report.damagedChunks.begin(), report.damagedChunks.end(),
              [](const DamagedChunk& a, const DamagedChunk& b) { return a.id < b.id; });
    for (const IndexName& n : readable) {
        BackupIndex index;
        try {
            index = indexes.Read(n.volumeId, n.backupId);
        } catch (const IndexError& e) {
            if (store.Exists(IndexStore::ObjectName(n.volumeId, n.backupId))) {
                report.damagedIndexes.push_back({n, e.what()});
            }
            continue;  // forgotten since the first pass
        }
        auto& damaged = report.damagedChunks;
        for (const auto& b : index.blocks) {
            if (!b) {
                continue;
            }
            auto it = std::lower_bound(damaged.begin(), damaged.end(), *b,
                                       [](const DamagedChunk& d, const ChunkId& id) { return d.id < id; });
            // Named once per backup, however many of its blocks share the chunk.
            if (it != damaged.end() && it->id == *b &&
                (it->usedBy.empty() || it->usedBy.back().volumeId != n.volumeId ||
                 it->usedBy.back().backupId != n.backupId)) {
                it->usedBy.push_back(n);
            }
        }
    }
    // A chunk no backup uses any more was forgotten and collected while we
    // read: not damage of anything the repository keeps.
    auto& damaged = report.damagedChunks;
    damaged.erase(std::remove_if(damaged.begin(), damaged.end(), [](const DamagedChunk& d) { return d.usedBy.empty(); }),
                  damaged.end());
    return report;
}

}  // namespace repo3
