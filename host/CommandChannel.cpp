#include "host/CommandChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "host/ConfigReader.h"
#include "host/Logger.h"

namespace {

const char kModule[] = "RestToMgr";

void HostLog(int level, const std::string& module, uint64_t requestId, const char* function, int line,
             const std::string& text)
{
    CLogger* logger = CLogger::GetInstance();
    if (logger->GetLogLevel() <= level) {
        logger->LogEx(level, module, requestId, function, line, text);
    }
}

// Characters outside quotes that need a real shell to mean what they mean.
bool IsShellSyntax(char c)
{
    return std::strchr("|;&<>()$`\\*[]~#{}!", c) != nullptr;
}

std::string SingleQuoteEscape(const std::string& v)
{
    std::string out;
    for (char c : v) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out;
}

void SplitLines(const std::string& data, std::vector<std::string>& lines)
{
    size_t start = 0;
    while (start < data.size()) {
        size_t nl = data.find('\n', start);
        size_t end = nl == std::string::npos ? data.size() : nl;
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        if (nl == std::string::npos) {
            break;
        }
        start = nl + 1;
    }
}

ProcessCommandRunner g_processRunner;
std::atomic<CommandRunner*> g_runner{&g_processRunner};

}  // namespace

namespace CommandTemplate {

bool ShouldDropSudo()
{
    if (::geteuid() == 0) {
        return true;
    }
    const char* path = std::getenv("PATH");
    std::string p = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t colon = p.find(':', start);
        std::string dir = p.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && ::access((dir + "/sudo").c_str(), X_OK) == 0) {
            return false;
        }
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    return true;
}

std::string Substitute(const std::string& cmdTemplate, const std::vector<std::string>& params)
{
    std::string out;
    size_t next = 0;
    for (char c : cmdTemplate) {
        if (c == '?' && next < params.size()) {
            out += params[next++];
        } else {
            out += c;
        }
    }
    return out;
}

Plan Build(const std::string& cmdTemplateIn, const std::vector<std::string>& params, bool dropSudo)
{
    Plan plan;
    std::string tpl = cmdTemplateIn;
    if (dropSudo && tpl.compare(0, 5, "sudo ") == 0) {
        tpl.erase(0, 5);
    }
    size_t marks = 0;
    for (char c : tpl) {
        marks += (c == '?') ? 1 : 0;
    }
    if (marks != params.size()) {
        plan.error = "command template has " + std::to_string(marks) + " parameter marks but " +
                     std::to_string(params.size()) + " parameters were given";
        return plan;
    }
    for (size_t i = 0; i < params.size(); ++i) {
        if (params[i].find('\0') != std::string::npos) {
            plan.error = "parameter " + std::to_string(i + 1) + " contains a NUL byte and cannot be passed";
            return plan;
        }
    }
    // First pass: does the template (outside single quotes) need a shell?
    bool inSingle = false;
    bool inDouble = false;
    for (char c : tpl) {
        if (inSingle) {
            inSingle = (c != '\'');
            continue;
        }
        if (c == '\'') {
            inSingle = true;
        } else if (c == '"') {
            inDouble = !inDouble;
        } else if (c == '?' && inDouble) {
            plan.error = "a parameter inside double quotes cannot be placed safely";
            return plan;
        } else if (IsShellSyntax(c) || (inDouble && (c == '$' || c == '`' || c == '\\'))) {
            plan.useShell = true;
        }
    }
    if (inSingle || inDouble) {
        plan.error = "command template has an unterminated quote";
        return plan;
    }
    size_t next = 0;
    if (plan.useShell) {
        // The shell sees every value inside single quotes, where nothing is special.
        inSingle = false;
        for (char c : tpl) {
            if (c == '\'') {
                inSingle = !inSingle;
                plan.shellLine += c;
            } else if (c == '?') {
                const std::string esc = SingleQuoteEscape(params[next++]);
                plan.shellLine += inSingle ? esc : "'" + esc + "'";
            } else {
                plan.shellLine += c;
            }
        }
        plan.ok = true;
        return plan;
    }
    // Direct execution: split into words as the shell would, values verbatim.
    std::string word;
    bool haveWord = false;
    inSingle = false;
    inDouble = false;
    for (char c : tpl) {
        if (inSingle) {
            if (c == '\'') {
                inSingle = false;
            } else if (c == '?') {
                word += params[next++];
            } else {
                word += c;
            }
            continue;
        }
        if (inDouble) {
            if (c == '"') {
                inDouble = false;
            } else {
                word += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            if (haveWord) {
                plan.argv.push_back(word);
                word.clear();
                haveWord = false;
            }
            continue;
        }
        haveWord = true;
        if (c == '\'') {
            inSingle = true;
        } else if (c == '"') {
            inDouble = true;
        } else if (c == '?') {
            word += params[next++];
        } else {
            word += c;
        }
    }
    if (haveWord) {
        plan.argv.push_back(word);
    }
    if (plan.argv.empty()) {
        plan.error = "empty command";
        return plan;
    }
    plan.ok = true;
    return plan;
}

}  // namespace CommandTemplate

CommandResult ProcessCommandRunner::Run(const std::string& cmdTemplate, const std::vector<std::string>& params,
                                        int timeoutSec)
{
    CommandResult result;
    CommandTemplate::Plan plan = CommandTemplate::Build(cmdTemplate, params, CommandTemplate::ShouldDropSudo());
    if (!plan.ok) {
        result.error = "command refused: " + plan.error;
        return result;
    }
    std::vector<std::string> args =
        plan.useShell ? std::vector<std::string>{"/bin/sh", "-c", plan.shellLine} : plan.argv;
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        result.error = std::string("pipe failed: ") + std::strerror(errno);
        return result;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        result.error = std::string("pipe failed: ") + std::strerror(errno);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        result.error = std::string("fork failed: ") + std::strerror(errno);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            ::close(fd);
        }
        return result;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls from here on.
        ::setpgid(0, 0);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
        }
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        const char msg[] = "exec failed\n";
        ssize_t ignored = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    std::string outData;
    std::string errData;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec > 0 ? timeoutSec : 1800);
    bool timedOut = false;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        int n = ::poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (n < 0) {
            if (errno == EINTR) {
                continue;  // revents still hold the previous poll's answer: a read could block
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
            if (r > 0) {
                (i == 0 ? outData : errData).append(buf, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (timedOut) {
        ::kill(-pid, SIGKILL);
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            ::close(f.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    SplitLines(outData, result.outLines);
    SplitLines(errData, result.errLines);
    if (timedOut) {
        result.error = "command timed out after " + std::to_string(timeoutSec) + " seconds";
        result.exitCode = -1;
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.error = "command ended by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        result.exitCode = -1;
    }
    return result;
}

CommandRunner* SetCommandRunner(CommandRunner* runner)
{
    return g_runner.exchange(runner != nullptr ? runner : &g_processRunner);
}

CommandRunner& GetCommandRunner()
{
    return *g_runner.load();
}

namespace {
int CommandTimeout()
{
    int t = ConfigReader::getInt("General", "CommandTimeoutSec", true);
    return t > 0 ? t : 1800;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& l : lines) {
        if (!out.empty()) {
            out += "; ";
        }
        out += l;
    }
    return out;
}
}  // namespace

int RestToMgr::ExceSystemCmd(const RunShellCmdInfo& info, std::vector<std::string>& outputLines,
                             std::string& errorText)
{
    HostLog(1, kModule, info.requestId, "RestToMgr::ExceSystemCmd()", __LINE__,
            "run command code " + std::to_string(info.cmdCode) + ": " + info.cmd);
    CommandResult r = GetCommandRunner().Run(info.cmd, info.params, CommandTimeout());
    outputLines = r.outLines;
    if (!r.error.empty()) {
        errorText = r.error;
        HostLog(4, kModule, info.requestId, "RestToMgr::ExceSystemCmd()", __LINE__,
                "command code " + std::to_string(info.cmdCode) + " failed: " + r.error);
        return -1;
    }
    if (r.exitCode != 0) {
        errorText = r.errLines.empty() ? "exit status " + std::to_string(r.exitCode) : JoinLines(r.errLines);
        return r.exitCode;
    }
    errorText.clear();
    return 0;
}

int runShellCmdWithOutput(int level, const std::string& moduleName, uint64_t requestId, const std::string& command,
                          const std::vector<std::string>& parameters, std::vector<std::string>& outputLines,
                          std::vector<std::string>& errorLines)
{
    HostLog(level, moduleName, requestId, "runShellCmdWithOutput()", __LINE__, "run command: " + command);
    CommandResult r = GetCommandRunner().Run(command, parameters, CommandTimeout());
    outputLines = r.outLines;
    errorLines = r.errLines;
    if (!r.error.empty()) {
        errorLines.push_back(r.error);
        return -1;
    }
    return r.exitCode;
}

void printCmdOutputInfo(const std::string& moduleName, uint64_t requestId, const std::vector<std::string>& outputLines,
                        const std::vector<std::string>& errorLines)
{
    for (const auto& l : outputLines) {
        HostLog(4, moduleName, requestId, "printCmdOutputInfo()", __LINE__, "output: " + l);
    }
    for (const auto& l : errorLines) {
        HostLog(4, moduleName, requestId, "printCmdOutputInfo()", __LINE__, "error: " + l);
    }
}
