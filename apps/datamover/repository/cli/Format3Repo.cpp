#include "apps/datamover/repository/cli/Format3Repo.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "apps/datamover/commands/PairCheckCommand.h"
#include "apps/datamover/repository/Keys.h"
#include "apps/datamover/repository/backend/OpenStore.h"

namespace dmrepo3 {

bool IsFormat3(const std::string& path)
{
    if (repo3::IsRemoteLocation(path)) return true;
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path + "/" + repo3::kConfigObject, ec);
}

std::string PassphraseFile(const std::string& flag)
{
    if (!flag.empty()) return flag;
    const char* env = std::getenv("DATAMOVER_PASSWORD_FILE");
    return env != nullptr ? env : "";
}

bool ReadPassphrase(const std::string& file, std::string& passphrase, std::string& error)
{
    std::string warning;
    if (!pair_check::ReadPasswordFile(file, passphrase, warning, error)) return false;
    if (!warning.empty()) std::cerr << "datamover: warning: " << warning << std::endl;
    return true;
}

dmout::ErrorCode StorageCode(const repo3::StorageError& e)
{
    switch (e.kind) {
    case repo3::StorageError::Kind::NotFound: return dmout::ErrorCode::NotFound;
    case repo3::StorageError::Kind::Denied:
    case repo3::StorageError::Kind::Unavailable: return dmout::ErrorCode::Storage;
    case repo3::StorageError::Kind::Io: break;
    }
    return dmout::ErrorCode::Io;
}

int ExitFor(dmout::ErrorCode code)
{
    return code == dmout::ErrorCode::BadArgument ? 2 : 1;
}

namespace {
// A passphrase that could not be had: the user's input, not the repository's.
struct NoPassphrase {
    std::string text;
};
}  // namespace

bool Open(const std::string& path, const std::string& passwordFlag, Repo3& out, dmout::ErrorCode& code,
          std::string& error, const std::string* known)
{
    bool asked = false;
    try {
        // Absolute, so records that name the repository (restore notes) name one place.
        std::string root = path;
        if (!repo3::IsRemoteLocation(path)) {
            std::error_code ec;
            root = std::filesystem::absolute(path, ec).lexically_normal().string();
            while (root.size() > 1 && root.back() == '/') root.pop_back();
            if (ec) root = path;
        }
        out.store = repo3::OpenObjectStore(root);
        out.keys = repo3::OpenRepository(*out.store, [&]() {
            if (known != nullptr) {
                asked = true;
                return *known;
            }
            const std::string file = PassphraseFile(passwordFlag);
            if (file.empty()) {
                throw NoPassphrase{"repository " + path + " is encrypted: give its passphrase with "
                                   "--password-file FILE or DATAMOVER_PASSWORD_FILE"};
            }
            std::string passphrase, why;
            if (!ReadPassphrase(file, passphrase, why)) throw NoPassphrase{why};
            asked = true;
            return passphrase;
        });
        out.chunks = std::make_unique<repo3::ChunkStore>(*out.store, out.keys);
        out.indexes = std::make_unique<repo3::IndexStore>(*out.store, out.keys);
        return true;
    } catch (const NoPassphrase& e) {
        code = dmout::ErrorCode::BadArgument;
        error = e.text;
    } catch (const repo3::KeyError& e) {
        // Only the unwrapping can fail after the passphrase was read: a wrong
        // one is the caller's mistake, anything before it the repository's.
        const std::string what = e.what();
        code = asked && what.rfind("wrong passphrase", 0) == 0 ? dmout::ErrorCode::BadArgument
                                                               : dmout::ErrorCode::Damaged;
        error = "repository " + path + ": " + what;
    } catch (const repo3::StorageError& e) {
        code = StorageCode(e);
        error = e.what();
    } catch (const std::exception& e) {
        code = dmout::ErrorCode::Damaged;
        error = "repository " + path + ": " + e.what();
    }
    return false;
}

bool Create(const std::string& path, bool encrypted, const std::string& passphrase, std::string& root,
            std::string& repositoryId, dmout::ErrorCode& code, std::string& error)
{
    root = path;
    if (!repo3::IsRemoteLocation(path)) {
        std::error_code ec;
        root = std::filesystem::absolute(path, ec).lexically_normal().string();
        while (root.size() > 1 && root.back() == '/') root.pop_back();
        // Missing parents are made too, as a backup into a new path does.
        std::filesystem::create_directories(root, ec);
    }
    try {
        std::unique_ptr<repo3::ObjectStore> store = repo3::OpenObjectStore(root, true);
        repo3::RepoKeys keys =
            repo3::InitRepository(*store, encrypted ? repo3::Encryption::RepoKey : repo3::Encryption::None, passphrase);
        repositoryId = keys.repositoryId;
        return true;
    } catch (const repo3::KeyError& e) {
        code = dmout::ErrorCode::Refused;
        error = e.what();
    } catch (const repo3::StorageError& e) {
        code = StorageCode(e);
        error = std::string("cannot create the repository at ") + root + ": " + e.what();
    } catch (const std::exception& e) {
        code = dmout::ErrorCode::Io;
        error = std::string("cannot create the repository at ") + root + ": " + e.what();
    }
    return false;
}

bool FindIndex(const Repo3& r, const std::string& backupId, repo3::BackupIndex& index, dmout::ErrorCode& code,
               std::string& error)
{
    try {
        for (const repo3::IndexName& n : r.indexes->List()) {
            if (n.backupId != backupId) continue;
            try {
                index = r.indexes->Read(n.volumeId, n.backupId);
                return true;
            } catch (const std::exception& e) {
                code = dmout::ErrorCode::Damaged;
                error = "backup " + backupId + " cannot be used: " + e.what();
                return false;
            }
        }
    } catch (const std::exception& e) {
        code = dmout::ErrorCode::Io;
        error = e.what();
        return false;
    }
    code = dmout::ErrorCode::NotFound;
    error = "no backup " + backupId + " in " + r.store->Describe();
    return false;
}

IndexPointReader::IndexPointReader(const repo3::ChunkStore& chunks, repo3::BackupIndex index)
    : m_chunks(chunks), m_index(std::move(index))
{
}

uint32_t IndexPointReader::Length(uint64_t index) const
{
    return static_cast<uint32_t>(repo3::IndexBlockLength(m_index.meta, index));
}

bool IndexPointReader::Read(uint64_t index, char* buffer, std::string& error) const
{
    try {
        repo3::ReadBlockInto(m_chunks, m_index, index, buffer);
        return true;
    } catch (const std::exception& e) {
        error = "block " + std::to_string(index) + " of backup " + m_index.meta.backupId + ": " + e.what();
        return false;
    }
}

}  // namespace dmrepo3
