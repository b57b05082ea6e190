// The host's command channel: runs a command template whose "?" marks are
// replaced by parameters, captures standard output and error as lines, and
// enforces a time-out. No parameter value is ever interpreted by a shell: a
// template without shell syntax is split into an argument vector and executed
// directly; a template with shell syntax (a pipeline) runs under /bin/sh with
// each value quoted for the context it lands in. A value that cannot be placed
// safely (a NUL byte, a "?" in double quotes) is refused before anything runs.
// "sudo " is dropped when the process is root or sudo is not installed.
// Thread-safe; each call blocks its caller until the command ends.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The request handed to the channel: template, parameters, command code,
// a second number (0 at every call site) and the caller's request identifier.
struct RunShellCmdInfo {
    std::string cmd;
    std::vector<std::string> params;
    uint64_t cmdCode = 0;
    uint64_t reserved = 0;
    uint64_t requestId = 0;
};

// What a runner reports for one command.
struct CommandResult {
    int exitCode = -1;  // the process's exit status; -1 when it could not run or was killed
    std::vector<std::string> outLines;
    std::vector<std::string> errLines;
    std::string error;  // channel-level failure text (refused, time-out, exec failure)
};

// Strategy behind the channel; tests install a scripted one.
class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    virtual CommandResult Run(const std::string& cmdTemplate, const std::vector<std::string>& params,
                              int timeoutSec) = 0;
};

// The real runner: fork/exec (or /bin/sh for shell syntax) with a time-out.
class ProcessCommandRunner final : public CommandRunner {
public:
    CommandResult Run(const std::string& cmdTemplate, const std::vector<std::string>& params,
                      int timeoutSec) override;
};

namespace CommandTemplate {
// How a template will be run once its parameters are placed.
struct Plan {
    bool ok = false;
    std::string error;
    bool useShell = false;
    std::vector<std::string> argv;  // direct execution
    std::string shellLine;          // shell execution
};
// Builds the plan: drops a leading "sudo " when asked, places the parameters.
Plan Build(const std::string& cmdTemplate, const std::vector<std::string>& params, bool dropSudo);
// Plain textual substitution, for logs and scripted runners only.
std::string Substitute(const std::string& cmdTemplate, const std::vector<std::string>& params);
// True when "sudo " should be dropped: the process is root or sudo is absent.
bool ShouldDropSudo();
}  // namespace CommandTemplate

// Installs the runner used by the channel (nullptr: the process runner).
// Returns the previous one. The runner must outlive every call that uses it.
CommandRunner* SetCommandRunner(CommandRunner* runner);
CommandRunner& GetCommandRunner();

class RestToMgr {
public:
    // Runs the request; 0 on success, non-zero otherwise. Fills the standard
    // output lines; errorText gets the channel's failure text or the error lines.
    static int ExceSystemCmd(const RunShellCmdInfo& info, std::vector<std::string>& outputLines,
                             std::string& errorText);
};

// Runs `command` with its parameters; 0 on success. Logs the command at `level`.
int runShellCmdWithOutput(int level, const std::string& moduleName, uint64_t requestId, const std::string& command,
                          const std::vector<std::string>& parameters, std::vector<std::string>& outputLines,
                          std::vector<std::string>& errorLines);

// Logs the lines of a failed command at level 4.
void printCmdOutputInfo(const std::string& moduleName, uint64_t requestId, const std::vector<std::string>& outputLines,
                        const std::vector<std::string>& errorLines);
