// Records of restores that were writing their target, under the installation
// root, which list and clean report until the target is whole or gone.
// Plain functions on files, safe from any thread on distinct records.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace dmtask {

// Records of restores that were writing their target: written before the
// first block, removed when the target is whole, so a restore that died is
// reported until one into the same target succeeds or its target is gone.
// They live under <root>/var/restores and name their repository (by its real
// path), so a repository on read-only media restores and a restore never
// writes the repository; records older versions left in <repo>/restores are
// still read.
struct RestoreRecord {
    std::string path;
    std::string taskId;
    std::string url;       // the target: strata://M/P/NAME, file://PATH or a device path
    std::string backupId;
    std::string repo;      // the repository's real path; empty in a record kept inside it
    int64_t startedAt = 0;
    int64_t startedAtMicros = 0;  // 0 in records of older versions
};
// The one spelling of a restore target that records, completions and the
// target's ObjectLock share: a strata URL rebuilt from its parts, anything
// else as given (callers pass real paths).
std::string RestoreTargetKey(const std::string& url);
bool WriteRestoreRecord(const std::string& root, const std::string& repoRoot, const std::string& taskId,
                        const std::string& url, const std::string& backupId, std::string& path, std::string& error);
// The records of repository `repoRoot` under installation root `root`, and
// those older versions left inside the repository.
std::vector<RestoreRecord> ListRestoreRecords(const std::string& root, const std::string& repoRoot);
// A restore into `url` left it whole: every record of it that can be removed
// goes, whatever repository it names, and the completion is kept
// (<root>/var/restores/completed/) for records this call could not remove.
void RestoreCompleted(const std::string& root, const std::string& repoRoot, const std::string& url);
// Whether record `r` no longer says anything: its target is gone (a file or
// device path that does not exist, a volume the storage says it does not
// have) or a restore into it completed after it started. Never while a task
// of this root holds the target. `why` says which.
bool RestoreRecordSettled(const std::string& root, const RestoreRecord& r, std::string& why);
// "restore into X was interrupted; its content is incomplete"
std::string RestoreRecordText(const RestoreRecord& r);

}  // namespace dmtask
