// The datamover program as a user runs it, against strata-sim in a throw-away
// root. Host-clock pauses (attach settle, retry waits) are shortened through
// DATAMOVER_PAUSE_DIVISOR so the suite stays fast; everything else is real:
// processes, tool scripts, device nodes, the repository on disk.
#pragma once
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "apps/datamover/RepoFormat.h"
#include "foundation/JsonUtils.h"
#include "tests/support/SimRoot.h"

extern char** environ;

namespace dmtest {

namespace fs = std::filesystem;
using simtest::SimFault;
using simtest::SimRoot;



constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kOffset = 4096;  // data-area offset of storage type 0
const char kVolumeId[] = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
const char kUrl[] = "strata://127.0.0.1/pool0/";

struct Result {
    int rc = -1;
    std::string out;
    std::string err;
    Json::Value json;
};

class DatamoverTest : public ::testing::Test {
protected:
    static SimRoot::Options Opts()
    {
        SimRoot::Options o;
        o.startAgent = true;
        return o;
    }
    void SetUp() override
    {
        ::setenv("DATAMOVER_PAUSE_DIVISOR", "200", 1);
        sim = std::make_unique<SimRoot>(Opts());
        repoPath = sim->Root() + "/repo";
    }
    void TearDown() override
    {
        sim.reset();
        ::unsetenv("DATAMOVER_PAUSE_DIVISOR");
    }

    std::vector<std::string> Argv(const std::vector<std::string>& args, bool json) const
    {
        std::vector<std::string> argv = {DM_DATAMOVER_BINARY, "--root", sim->Root()};
        if (json) argv.push_back("--json");
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    Result Run(const std::vector<std::string>& args, bool json = true) const
    {
        Result r;
        r.rc = SimRoot::RunProgram(Argv(args, json), &r.out, &r.err);
        if (json) CJsonUtils::StringToJson(r.out, r.json);
        return r;
    }
    std::vector<std::string> BackupArgs(const std::string& snapshot, const std::string& parent = "",
                                        const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = {"backup", "--volume-id", kVolumeId, "--snapshot-url", kUrl + snapshot,
                                         "--repo", repoPath, "--volume-size", std::to_string(size)};
        if (!parent.empty()) {
            args.push_back("--parent-snapshot");
            args.push_back(parent);
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    Result Backup(const std::string& snapshot, const std::string& parent = "",
                  const std::vector<std::string>& extra = {}) const
    {
        return Run(BackupArgs(snapshot, parent, extra));
    }
    // A full backup of a fresh snapshot `snap` of "vol" holding random data of `seed`.
    std::string FullOf(const std::string& snap, uint64_t seed)
    {
        if (!sim->State().Has("vol")) sim->CreateVolume("vol", size);
        sim->WriteRandom("vol", 0, 20 * kMiB, seed);
        sim->Snapshot("vol", snap);
        Result r = Backup(snap);
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
        return r.json["backup_id"].asString();
    }
    // The data area of two volumes (snapshot or volume) is byte for byte equal.
    void ExpectSameData(const std::string& a, const std::string& b) const
    {
        std::string da = sim->Read(a, kOffset, size - kOffset);
        std::string db = sim->Read(b, kOffset, size - kOffset);
        ASSERT_EQ(da.size(), size - kOffset);
        ASSERT_EQ(db.size(), size - kOffset);
        if (da != db) {
            size_t at = 0;
            while (da[at] == db[at]) ++at;
            FAIL() << a << " and " << b << " differ at data offset " << at;
        }
    }
    std::vector<std::string> RepoFiles() const
    {
        std::vector<std::string> files;
        std::error_code ec;
        if (!fs::exists(repoPath)) return files;
        for (auto it = fs::recursive_directory_iterator(repoPath, ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            files.push_back(it->path().string() + ":" +
                            std::to_string(it->is_regular_file() ? fs::file_size(it->path()) : 0));
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    size_t CachedTaskFiles() const
    {
        size_t n = 0;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(sim->Root() + "/var/cache", ec)) {
            n += e.path().filename().string().rfind("task-", 0) == 0 ? 1 : 0;
        }
        return n;
    }

    std::string BackupDir(const std::string& id) const
    {
        return repoPath + "/chains/" + kVolumeId + "/backups/" + id;
    }
    Result Restore(const std::string& id, const std::string& target, const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = {"restore", "--repo", repoPath, "--backup", id, "--volume-url", kUrl + target};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    }
    static void Overwrite(const std::string& path, uint64_t at, const std::string& bytes)
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(at));
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // Starts the datamover with its output discarded; returns its pid.
    static pid_t Spawn(const std::vector<std::string>& argv)
    {
        std::vector<char*> cargv;
        for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    static void Kill(pid_t pid)
    {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    // Polls a state the test can observe; false after a minute without it.
    template <typename Fn>
    static bool WaitFor(Fn done)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    std::unique_ptr<SimRoot> sim;
    std::string repoPath;
    uint64_t size = 48 * kMiB;
};

}  // namespace dmtest
