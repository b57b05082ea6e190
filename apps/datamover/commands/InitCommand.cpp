// "datamover init" makes a repository (chunked, format 3, by default);
// "datamover key passwd" gives an encrypted one a new passphrase without
// rewriting any data. Passphrases come from files, never the command line.
#include <filesystem>
#include <iostream>
#include <memory>

#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/repository/Keys.h"
#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/output/Console.h"
#include "foundation/JsonUtils.h"

namespace {

struct InitOptions {
    std::string repoPath;
    std::string encryption;  // repokey for format 3, none for format 2
    int format = repo3::kRepositoryFormat;
    std::string passwordFile;
};

void PrintDone(const CommandContext& ctx, Json::Value out, const std::string& line)
{
    if (ctx.json) {
        out["ok"] = true;
        dmtask::PrintJson(out);
    } else {
        std::cout << line << std::endl;
    }
}

int InitFormat2(CommandContext& ctx, const InitOptions& o)
{
    std::error_code ec;
    if (std::filesystem::exists(o.repoPath + "/" + repo::kMarkerFile, ec) || dmrepo3::IsFormat3(o.repoPath)) {
        PrintError(ctx, dmout::ErrorCode::Refused, "a repository already exists at " + o.repoPath);
        return 1;
    }
    repo::Repository r;
    std::string error;
    if (!r.Open(o.repoPath, true, error)) {
        PrintError(ctx, dmout::ErrorCode::Refused, error);
        return 1;
    }
    Json::Value out(Json::objectValue);
    out["repo"] = r.Root();
    out["format"] = repo::kFormatVersion;
    out["encryption"] = "none";
    PrintDone(ctx, out, "format-2 repository created at " + r.Root());
    return 0;
}

int RunInitWith(CommandContext& ctx, const InitOptions& o);

int RunInit(CommandContext& ctx, const InitOptions& o)
{
    if (o.format != 2 && o.format != repo3::kRepositoryFormat) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "bad --format " + std::to_string(o.format) + ": 2 or 3");
        return 2;
    }
    InitOptions given = o;
    if (given.encryption.empty()) given.encryption = o.format == 2 ? "none" : "repokey";
    return RunInitWith(ctx, given);
}

int RunInitWith(CommandContext& ctx, const InitOptions& o)
{
    if (o.encryption != "none" && o.encryption != "repokey") {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "bad --encryption '" + o.encryption + "': none or repokey");
        return 2;
    }
    const bool encrypted = o.encryption == "repokey";
    if (o.format == 2) {
        if (encrypted) {
            PrintError(ctx, dmout::ErrorCode::BadArgument,
                       "a format-2 repository cannot be encrypted: give --encryption none, or leave out --format");
            return 2;
        }
        if (repo3::IsRemoteLocation(o.repoPath)) {
            PrintError(ctx, dmout::ErrorCode::BadArgument, "a format-2 repository is a directory: an S3 bucket holds format 3");
            return 2;
        }
        return InitFormat2(ctx, o);
    }
    std::string passphrase;
    if (encrypted) {
        const std::string file = dmrepo3::PassphraseFile(o.passwordFile);
        std::string error;
        if (file.empty()) {
            error = "--encryption repokey needs a passphrase: --password-file FILE ('-': standard input) or "
                    "DATAMOVER_PASSWORD_FILE";
        }
        if (!error.empty() || !dmrepo3::ReadPassphrase(file, passphrase, error)) {
            PrintError(ctx, dmout::ErrorCode::BadArgument, error);
            return 2;
        }
    }
    std::error_code ec;
    const bool remote = repo3::IsRemoteLocation(o.repoPath);
    if (!remote && std::filesystem::exists(o.repoPath + "/" + repo::kMarkerFile, ec)) {
        PrintError(ctx, dmout::ErrorCode::Refused, o.repoPath + " already holds a format-2 repository");
        return 1;
    }
    std::string root, repositoryId, error;
    dmout::ErrorCode code = dmout::ErrorCode::Io;
    if (!dmrepo3::Create(o.repoPath, encrypted, passphrase, root, repositoryId, code, error)) {
        PrintError(ctx, code, error);
        return 1;
    }
    Json::Value out(Json::objectValue);
    out["repo"] = root;
    out["format"] = repo3::kRepositoryFormat;
    out["encryption"] = o.encryption;
    out["repository_id"] = repositoryId;
    PrintDone(ctx, out,
              "format-3 repository created at " + root + " (encryption " + o.encryption + ")" +
                  (encrypted ? "; keep the passphrase: without it nothing can be restored" : ""));
    return 0;
}

struct PasswdOptions {
    std::string repoPath;
    std::string passwordFile;
    std::string newPasswordFile;
};

int RunPasswd(CommandContext& ctx, const PasswdOptions& o)
{
    if (!dmrepo3::IsFormat3(o.repoPath)) {
        PrintError(ctx, dmout::ErrorCode::NotFound, o.repoPath + " is not a format-3 repository");
        return 2;
    }
    const std::string oldFile = dmrepo3::PassphraseFile(o.passwordFile);
    if (oldFile.empty()) {
        PrintError(ctx, dmout::ErrorCode::BadArgument,
                   "the current passphrase is needed: --password-file FILE or DATAMOVER_PASSWORD_FILE");
        return 2;
    }
    if (oldFile == "-" && o.newPasswordFile == "-") {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "only one of the passphrases can come from standard input");
        return 2;
    }
    std::string oldPassphrase, newPassphrase, error;
    if (!dmrepo3::ReadPassphrase(oldFile, oldPassphrase, error) ||
        !dmrepo3::ReadPassphrase(o.newPasswordFile, newPassphrase, error)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, error);
        return 2;
    }
    // Opened first so a wrong passphrase or missing key file is told the same way as everywhere else.
    dmrepo3::Repo3 r;
    dmout::ErrorCode code = dmout::ErrorCode::Damaged;
    if (!dmrepo3::Open(o.repoPath, oldFile, r, code, error, &oldPassphrase)) {
        PrintError(ctx, code, error);
        return dmrepo3::ExitFor(code);
    }
    if (!r.keys.Encrypted()) {
        PrintError(ctx, dmout::ErrorCode::Refused, "repository " + o.repoPath + " is not encrypted; it has no passphrase");
        return 1;
    }
    try {
        repo3::ChangePassphrase(*r.store, oldPassphrase, newPassphrase);
    } catch (const repo3::KeyError& e) {
        const std::string what = e.what();
        code = what.rfind("wrong passphrase", 0) == 0 ? dmout::ErrorCode::BadArgument : dmout::ErrorCode::Refused;
        PrintError(ctx, code, "repository " + o.repoPath + ": " + what);
        return dmrepo3::ExitFor(code);
    } catch (const std::exception& e) {
        PrintError(ctx, dmout::ErrorCode::Io, e.what());
        return 1;
    }
    Json::Value out(Json::objectValue);
    out["repo"] = o.repoPath;
    PrintDone(ctx, out, "passphrase of " + o.repoPath + " changed");
    return 0;
}

}  // namespace

void RegisterInitCommands(CLI::App& app, CommandContext& ctx)
{
    auto init = std::make_shared<InitOptions>();
    CLI::App* sub = app.add_subcommand(
        "init", "Create a repository: format 3 (deduplicated, compressed, optionally encrypted chunks) unless "
                "--format 2. A backup into a path that does not exist creates a format-3 one by itself");
    sub->add_option("--repo", init->repoPath, "Directory of the new repository (missing or empty)")->required();
    sub->add_option("--encryption", init->encryption, "none, or repokey (a random key sealed under the passphrase; the default for format 3)");
    sub->add_option("--format", init->format, "3, or 2 for readers that need the older format")
        ->capture_default_str();
    sub->add_option("--password-file", init->passwordFile,
                    "File holding the passphrase ('-': standard input; default: $DATAMOVER_PASSWORD_FILE)");
    sub->callback([&ctx, init]() { ctx.exitStatus = RunInit(ctx, *init); });

    auto passwd = std::make_shared<PasswdOptions>();
    CLI::App* key = app.add_subcommand("key", "Manage the key of an encrypted format-3 repository");
    key->require_subcommand(1);
    CLI::App* pw = key->add_subcommand("passwd", "Change the passphrase; only the key file is rewritten");
    pw->add_option("--repo", passwd->repoPath, "The repository")->required();
    pw->add_option("--password-file", passwd->passwordFile,
                   "File holding the current passphrase ('-': standard input; default: $DATAMOVER_PASSWORD_FILE)");
    pw->add_option("--new-password-file", passwd->newPasswordFile, "File holding the new passphrase ('-': standard input)")
        ->required();
    pw->callback([&ctx, passwd]() { ctx.exitStatus = RunPasswd(ctx, *passwd); });
}
