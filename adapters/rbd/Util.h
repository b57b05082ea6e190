// Small helpers of the adapter: programs run without a shell, FUSE mounts, names made safe for paths.
#pragma once
#include <string>
#include <vector>

namespace rbdtool {

// Runs argv[0] (searched in PATH) with these arguments, no shell; returns its exit status
// (-1 when it could not start or died of a signal). Its standard output and error go to `out`.
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr);
// The same, run in directory `cwd` with `env` ("NAME=value") added to this process's environment.
int RunProgramIn(const std::vector<std::string>& argv, std::string* out, const std::string& cwd,
                 const std::vector<std::string>& env);
// Live processes (not zombies) one of whose arguments is exactly `arg`: how a daemon we started is
// found again without trusting a pid file (its pid may have been reused, or never written).
std::vector<int> ProcessesWithArg(const std::string& arg);
// Whether process `pid` exists and is not a zombie.
bool ProcessAlive(int pid);
// Lowercase hexadecimal of every byte: names with any characters become one path component.
std::string Hex(const std::string& s);
// First `chars` hexadecimal digits of the SHA-256 of `s`: a bounded name for an unbounded input.
std::string ShortHash(const std::string& s, size_t chars = 32);
// Dies by SIGKILL when RBD_TOOL_CRASH_AT names this point ("POINT", or "POINT@FILE": once, while
// FILE does not exist yet); tests of what a killed tool leaves.
void CrashPoint(const char* name);
// Holds an exclusive flock on <dir>/<name>.lock while alive. The lock is taken on the file the
// path names at that moment, so that a holder may remove the file when what it guards is gone
// (one lock file per bitmap name would otherwise pile up).
class FileLock {
public:
    FileLock(const std::string& dir, const std::string& name);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // Removes the lock file (still held until the end of this object).
    void Remove();

private:
    std::string m_path;
    int m_fd = -1;
};
bool IsMounted(const std::string& mountPoint);
// Mount points of FUSE file systems under `dir` (from /proc/mounts).
std::vector<std::string> FuseMountsUnder(const std::string& dir);

}  // namespace rbdtool
