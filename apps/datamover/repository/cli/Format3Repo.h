// What the subcommands share about a chunked (format-3) repository: telling it
// from an older one, finding the passphrase (a file, never the command line)
// and opening its keys with one clear line when that fails.
#pragma once
#include <memory>
#include <string>

#include "apps/datamover/repository/format2/BackupReader.h"
#include "apps/datamover/CommandContext.h"
#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/Index.h"
#include "apps/datamover/repository/backend/ObjectStore.h"

namespace dmrepo3 {

// Whether `path` holds a chunked repository (its config object). An S3 URL is
// taken as one without a request: only format 3 lives in buckets, and Open says
// what is wrong with it.
bool IsFormat3(const std::string& path);

// The passphrase file: `flag` when given, else $DATAMOVER_PASSWORD_FILE; empty when neither.
std::string PassphraseFile(const std::string& flag);
// Reads it ("-": standard input); a warning about its permissions goes to standard error.
bool ReadPassphrase(const std::string& file, std::string& passphrase, std::string& error);

struct Repo3 {
    std::unique_ptr<repo3::ObjectStore> store;
    repo3::RepoKeys keys;
    std::unique_ptr<repo3::ChunkStore> chunks;
    std::unique_ptr<repo3::IndexStore> indexes;
};

// Opens the repository at `path` with the passphrase of `passwordFlag` (read
// only when the repository is encrypted). False with one line and its code:
// bad_argument for a missing or wrong passphrase, damaged for a missing or
// damaged key file or config.
// `known`, when given, is the passphrase already read (the file is not read again).
bool Open(const std::string& path, const std::string& passwordFlag, Repo3& out, dmout::ErrorCode& code,
          std::string& error, const std::string* known = nullptr);

// Makes a format-3 repository at `path` (missing parents too): encrypted under
// `passphrase` (repokey) when `encrypted`. `root` is its absolute path. False
// with the code: refused when something is there already, io otherwise.
bool Create(const std::string& path, bool encrypted, const std::string& passphrase, std::string& root,
            std::string& repositoryId, dmout::ErrorCode& code, std::string& error);

// The index `backupId` of whichever volume holds it. False with the code:
// not_found when no index has that id, damaged when it cannot be read.
bool FindIndex(const Repo3& r, const std::string& backupId, repo3::BackupIndex& index, dmout::ErrorCode& code,
               std::string& error);

// One backup point of a chunked repository, read through its own index: every
// block authenticated (ReadBlock) before it is handed out.
class IndexPointReader : public repo::PointReader {
public:
    IndexPointReader(const repo3::ChunkStore& chunks, repo3::BackupIndex index);
    uint64_t Blocks() const override { return m_index.blocks.size(); }
    uint64_t TotalBytes() const override { return m_index.meta.volumeSize; }
    uint32_t Length(uint64_t index) const override;
    size_t Backups() const override { return 1; }
    bool Read(uint64_t index, char* buffer, std::string& error) const override;
    const repo3::BackupIndex& Index() const { return m_index; }

private:
    const repo3::ChunkStore& m_chunks;
    repo3::BackupIndex m_index;
};

// What a failure of the store itself is reported as: a missing bucket or
// directory not_found, refused credentials or an unreachable service storage,
// anything else io.
dmout::ErrorCode StorageCode(const repo3::StorageError& e);

// The exit status of a failure of `code`: 2 for a bad argument, 1 otherwise.
int ExitFor(dmout::ErrorCode code);

}  // namespace dmrepo3
