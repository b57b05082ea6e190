// "datamover restore": writes one backup point into a volume, a local file or
// a local block device. The chain from the full backup to the chosen point is
// resolved and its tables and bindings checked before anything is touched.
// Where a failed restore would destroy something (a target that holds data,
// overwritten with --force, or a block device, whose emptiness is only
// sampled) every block is also read and checked before the first write. An
// empty or new target is written in one pass instead: each block is checked
// just before it is written, and a damaged one stops the restore. While
// writing, a record under the root says the target is incomplete, so a
// restore that stops or dies is reported by list and clean; the repository
// itself is only read. A target is never inside the repository, never a
// snapshot a backup was taken of, and held by one restore at a time.
// Its stages are in restore/ (RestoreJob.h lists them).
#include "apps/datamover/restore/RestoreJob.h"
#include "apps/datamover/commands/DataCommands.h"

void RegisterRestoreCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<dmrestore::RestoreOptions>();
    CLI::App* sub = app.add_subcommand("restore", "Write a backup point (full or incremental) into a volume");
    sub->footer(
        "The chain's tables are checked before anything is written. Into an empty or new target the restore runs "
        "in one pass: each block's checksum is checked just before the block is written, and a damaged block stops "
        "the restore with exit status 1; the target is then incomplete, and 'list' and 'clean' report it until a "
        "restore into it succeeds. Into a target that holds data (--force) or a block device, every block of the "
        "chain is read and checked first, so a damaged backup leaves the target untouched.");
    sub->add_option("--repo", opts->repoPath, "Backup repository")->required();
    sub->add_option("--backup", opts->backupId, "Backup id (see 'datamover list')")->required();
    sub->add_option("--volume-url", opts->volumeUrl, "strata://MANAGER/POOL/VOLUME to write into");
    sub->add_option("--to-file", opts->toFile,
                    "Write into a local image file instead (created sparse; the data area at its offset, as on "
                    "the volume)");
    sub->add_option("--to-device", opts->toDevice, "Write into a local block device instead (as large as the volume)");
    sub->add_flag("--force", opts->force,
                  "Write into a target that is not empty (the whole chain is then read and checked before the "
                  "first write; see below)");
    sub->add_flag("--verify-only", opts->verifyOnly, "Read and check every block of the chain; write nothing");
    sub->add_option("--volume-id", opts->volumeId, "UUID of the target volume (default: the backed-up volume's)");
    sub->add_option("--depth", opts->depth, "Writer threads")->capture_default_str();
    AddPasswordFileOption(sub, opts->passwordFile);
    sub->callback([&ctx, opts]() {
        dmrestore::RestoreJob job(ctx, *opts);
        ctx.exitStatus = job.Run();
    });
}
