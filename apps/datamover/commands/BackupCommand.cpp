// "datamover backup": a full or incremental backup of one snapshot into the
// repository. The chain of the volume is opened through the chain manager
// (which holds the chain lock), the changed blocks come from the plug-in's
// changed ranges, reads run with several requests in flight, every block is
// checksummed, and the manifest is written last so an interrupted backup is
// never taken for a complete one.
// Its stages are in backup/ (BackupJob.h lists them).
#include "apps/datamover/backup/BackupJob.h"
#include "apps/datamover/commands/DataCommands.h"

void RegisterBackupCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<dmbackup::BackupOptions>();
    CLI::App* sub = app.add_subcommand("backup", "Back up a snapshot into a repository: full, or incremental "
                                                 "against the backup of --parent-snapshot");
    sub->add_option("--volume-id", opts->volumeId, "UUID of the volume")->required();
    sub->add_option("--snapshot-url", opts->snapshotUrl, "strata://MANAGER/POOL/SNAPSHOT")->required();
    sub->add_option("--parent-snapshot", opts->parentSnapshot,
                    "Snapshot of an earlier backup in the repository (makes the backup incremental)");
    sub->add_option("--repo", opts->repoPath,
                    "Backup repository; a path that does not exist (or an empty directory) becomes a format-3 "
                    "repository, encrypted (repokey) when a password file is given ('datamover init --format 2' "
                    "makes a format-2 one first)")
        ->required();
    AddPasswordFileOption(sub, opts->passwordFile);
    sub->add_option("--volume-size", opts->volumeSize,
                    "Size of the volume as the storage reports it (K, M, G, T suffixes); required for a full "
                    "backup and checked against the attached snapshot");
    sub->add_option("--storage-type", opts->storageType, "Product storage type: 0 QRM_STRATA, 1 KVM_STRATA, "
                                                         "6 QRM_STRATA_RDM")
        ->capture_default_str();
    sub->add_option("--offset-kib", opts->offsetKib, "Data-area offset in KiB (-1: the storage type's default)")
        ->capture_default_str();
    sub->add_option("--io", opts->io, "Read engine: aio (asynchronous reads and writes) or threads (one reader per stream)")
        ->capture_default_str();
    sub->add_option("--depth", opts->depth, "Reads in flight (aio) or reader threads (threads)")
        ->capture_default_str();
    sub->callback([&ctx, opts]() {
        dmbackup::BackupJob job(ctx, *opts);
        ctx.exitStatus = job.Run();
    });
}
