// "datamover unlock --repo R [--force]": removes the collection lease of a
// chunked repository that its holder left behind. Only an expired lease (or
// one whose holder this host proves gone) goes without --force; --force removes
// a live one too, with a warning: its holder, if it still runs, stops at its
// next renewal, but a deletion already under way is not called back.
#include <iostream>
#include <memory>

#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/repository/GarbageCollector.h"
#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/session/Task.h"

namespace {

struct UnlockOptions {
    std::string repoPath;
    bool force = false;
};

int RunUnlock(CommandContext& ctx, const UnlockOptions& o)
{
    if (!dmrepo3::IsFormat3(o.repoPath)) {
        PrintError(ctx, dmout::ErrorCode::NotFound, "no chunked (format-3) repository at " + o.repoPath);
        return 2;
    }
    try {
        std::unique_ptr<repo3::ObjectStore> store = repo3::OpenObjectStore(o.repoPath);
        std::string text;
        Json::Value out(Json::objectValue);
        if (!store->Get(repo3::kGcLockObject, text)) {
            if (ctx.json) {
                out["ok"] = true;
                out["removed"] = false;
                dmtask::PrintJson(out);
            } else {
                std::cout << "no lease is held on " << store->Describe() << std::endl;
            }
            return 0;
        }
        repo3::HolderRecord r;
        const bool parsed = repo3::ParseHolder(text, r);
        const int64_t now = repo3::NowSeconds();
        const std::string who = parsed ? repo3::DescribeHolder(r, now) : std::string("an unreadable record");
        const bool stale = parsed && (repo3::Expired(r, now) || repo3::HolderIsGone(r));
        if (!stale && !o.force) {
            PrintError(ctx, dmout::ErrorCode::InUse,
                       "the lease " + std::string(repo3::kGcLockObject) + " is held by " + who +
                           "; it is left alone (it expires by itself if its holder died; --force removes it now)");
            return 1;
        }
        if (!stale) {
            std::cerr << "datamover: warning: removing a lease that has not expired, held by " << who
                      << ": if that process still runs, it stops at its next renewal" << std::endl;
        }
        // Remove what was judged, not a record written meanwhile.
        std::string again;
        const bool removed = store->Get(repo3::kGcLockObject, again) && again == text && store->Delete(repo3::kGcLockObject);
        if (!removed) {
            PrintError(ctx, dmout::ErrorCode::InUse, "the lease changed while it was being removed; nothing removed");
            return 1;
        }
        if (ctx.json) {
            out["ok"] = true;
            out["removed"] = true;
            out["holder"] = who;
            out["forced"] = !stale;
            dmtask::PrintJson(out);
        } else {
            std::cout << "removed the lease of " << who << std::endl;
        }
        return 0;
    } catch (const repo3::StorageError& e) {
        PrintError(ctx, dmrepo3::StorageCode(e), e.what());
    } catch (const std::exception& e) {
        PrintError(ctx, dmout::ErrorCode::Io, e.what());
    }
    return 1;
}

}  // namespace

void RegisterUnlockCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<UnlockOptions>();
    CLI::App* sub = app.add_subcommand("unlock", "Remove the expired collection lease of a chunked repository");
    sub->add_option("--repo", opts->repoPath, "Backup repository (a directory or s3://...)")->required();
    sub->add_flag("--force", opts->force, "Also remove a lease that has not expired (warns)");
    sub->callback([&ctx, opts]() { ctx.exitStatus = RunUnlock(ctx, *opts); });
}
