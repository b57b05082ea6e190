#include "apps/datamover/commands/PairCheckCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "apps/datamover/session/Task.h"
#include "foundation/JsonUtils.h"
#include "host/ConfigReader.h"
#include "host/IHttpClient.h"
#include "host/SecureMem.h"
#include "management/QSRestApi.h"

namespace pair_check {

namespace {
const size_t kMaxPasswordBytes = 4096;

bool IsHostChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}
}  // namespace

bool ParseManagerAddress(const std::string& text, std::string& host, std::string& port, std::string& error)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        error = "--mgr must be HOST:PORT, got \"" + text + "\"";
        return false;
    }
    std::string h = text.substr(0, colon);
    std::string p = text.substr(colon + 1);
    bool hostOk = true;
    if (h.front() == '[') {
        // A bracketed IPv6 literal: hex digits, colons and dots only.
        hostOk = h.size() > 2 && h.back() == ']';
        for (size_t i = 1; hostOk && i + 1 < h.size(); ++i) {
            char c = h[i];
            hostOk = std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
        }
    } else {
        for (char c : h) {
            hostOk = hostOk && IsHostChar(c);
        }
    }
    if (!hostOk) {
        error = "--mgr host \"" + h + "\" is not a host name or address (IPv6 goes in brackets)";
        return false;
    }
    bool digits = p.size() <= 5;
    for (char c : p) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
    }
    long n = digits ? std::strtol(p.c_str(), nullptr, 10) : 0;
    if (!digits || n < 1 || n > 65535) {
        error = "--mgr port \"" + p + "\" is not a port number from 1 to 65535";
        return false;
    }
    host = h;
    port = std::to_string(n);
    return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& warning, std::string& error)
{
    int fd = STDIN_FILENO;
    if (path != "-") {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            error = "cannot open password file " + path + ": " + std::strerror(errno);
            return false;
        }
        struct stat sb{};
        if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
            ::close(fd);
            error = "password file " + path + " is not a regular file";
            return false;
        }
        if ((sb.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            warning = "password file " + path + " can be read by others; chmod 600 it";
        }
    }
    // One buffer, filled in place and trimmed in place, so no stray copy of
    // the password is left behind.
    std::string buf(kMaxPasswordBytes + 1, '\0');
    size_t got = 0;
    bool failed = false;
    while (got < buf.size()) {
        ssize_t n = ::read(fd, &buf[got], buf.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failed = true;
            break;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (fd != STDIN_FILENO) {
        ::close(fd);
    }
    if (failed || got > kMaxPasswordBytes) {
        cleanMemoryPwd(buf);
        error = failed ? "cannot read password file " + path : "password file " + path + " is too large";
        return false;
    }
    SecureWipe(&buf[got], buf.size() - got);
    buf.resize(got);
    if (!buf.empty() && buf.back() == '\n') {
        buf.pop_back();
        if (!buf.empty() && buf.back() == '\r') {
            buf.pop_back();
        }
    }
    if (buf.empty()) {
        cleanMemoryPwd(buf);
        error = "password file " + path + " is empty";
        return false;
    }
    cleanMemoryPwd(password);
    password = std::move(buf);
    return true;
}

}  // namespace pair_check

namespace {

struct PairCheckOptions {
    std::string mgr;
    std::string user;
    std::string passwordFile;
    std::string local;
    std::string remote;
    std::string caFile;
};

void PrintResult(const CommandContext& ctx, const PairCheckOptions& o, bool normal, const std::string& reason)
{
    if (ctx.json) {
        Json::Value out;
        out["ok"] = true;
        out["normal"] = normal;
        out["local"] = o.local;
        out["remote"] = o.remote;
        if (!normal) {
            out["reason"] = reason;
        }
        std::cout << CJsonUtils::JsonToString(out) << std::endl;
    } else if (normal) {
        std::cout << "pair " << o.local << " <-> " << o.remote << ": normal" << std::endl;
    } else {
        std::cout << "pair " << o.local << " <-> " << o.remote << ": not normal: " << reason << std::endl;
    }
}

// The transport's or the service's words, with what a user can do about them.
std::string Explain(const std::string& failure)
{
    if (failure.empty()) return "no reason given";
    if (failure.find("HTTP 401") != std::string::npos || failure.find("HTTP 403") != std::string::npos) {
        return "wrong user name or password (" + failure + ")";
    }
    if (failure.find("SSL") != std::string::npos || failure.find("certificate") != std::string::npos) {
        return "the service's certificate was refused; check --ca-file and that --mgr names the host the "
               "certificate was issued for (" + failure + ")";
    }
    return failure;
}

int RunPairCheck(CommandContext& ctx, const PairCheckOptions& o)
{
    std::string host;
    std::string port;
    std::string error;
    if (!pair_check::ParseManagerAddress(o.mgr, host, port, error)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, error);
        return 2;
    }
    std::string password;
    std::string warning;
    if (!pair_check::ReadPasswordFile(o.passwordFile, password, warning, error)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, error);
        return 2;
    }
    if (!warning.empty()) {
        std::cerr << "datamover: warning: " << warning << std::endl;
    }
    if (!o.caFile.empty()) {
        if (::access(o.caFile.c_str(), R_OK) != 0) {
            PrintError(ctx, dmout::ErrorCode::BadArgument,
                       "cannot read --ca-file " + o.caFile + ": " + std::strerror(errno));
            return 2;
        }
        ConfigReader::SetOverride(HttpClientConfig::SECTION, HttpClientConfig::KEY_CA_FILE, o.caFile);
    }
    dmtask::InstallPauseDivisorFromEnvironment();

    bool normal = false;
    std::string reason;
    std::string failure;  // the check could not be made: no verdict
    {
        QSRestApi api(host, port, o.user, std::move(password));
        cleanMemoryPwd(password);  // moved-from: empty, but wipe whatever is left
        if (!api.Init()) {
            PrintError(ctx, dmout::ErrorCode::Internal, "no HTTP client is available");
            return 1;
        }
        normal = api.CheckBiplexPair(o.local, o.remote, reason);
        if (!normal && api.Token().empty()) {
            failure = "cannot log in to the management service at " + o.mgr + ": " + Explain(api.LastFailure());
        } else if (!normal && !api.LastFailure().empty()) {
            failure = "the management service at " + o.mgr + " did not answer the pair query: " + api.LastFailure();
        }
    }  // logs out
    if (!failure.empty()) {
        PrintError(ctx, dmout::ErrorCode::Storage, failure);
        return 1;
    }
    PrintResult(ctx, o, normal, reason);
    return normal ? 0 : 1;
}

}  // namespace

void RegisterPairCheckCommand(CLI::App& app, CommandContext& ctx)
{
    auto o = std::make_shared<PairCheckOptions>();
    CLI::App* sub = app.add_subcommand(
        "pair-check",
        "Ask the storage management service whether the active-active pair of two volumes runs normally "
        "(exit 0: normal, 1: not normal or the service cannot tell, 2: bad arguments)");
    sub->add_option("--mgr", o->mgr, "Management service address, HOST:PORT ([IPv6]:PORT)")->required();
    sub->add_option("--user", o->user, "Management user name")->required();
    sub->add_option("--password-file", o->passwordFile,
                    "File holding the password (one line; \"-\" reads standard input)")
        ->required();
    sub->add_option("--local", o->local, "Local volume (object) name")->required();
    sub->add_option("--remote", o->remote, "Remote volume (object) name")->required();
    sub->add_option("--ca-file", o->caFile,
                    "CA bundle for the service's certificate (default: General/HttpsCaFile of the configuration)");
    sub->callback([&ctx, o]() { ctx.exitStatus = RunPairCheck(ctx, *o); });
}
