#include "apps/datamover/session/StorageQuery.h"

#include <vector>

#include "host/CommandChannel.h"
#include "host/RootPath.h"

namespace dmtask {

namespace {

const char kModule[] = "StorageQuery";
// The same tool and option style as the bitmap commands; the parameters are never seen by a shell.
const char kIdentityCommand[] =
    "/qbctool/qrmQBCTool.sh --op querySnapshotIdentity --staIp '?' --strataFloatIP '?' --snapName '?' --poolId '?'";
const uint64_t kIdentityCode = 100015;

std::string Value(const std::vector<std::string>& lines, const std::string& key)
{
    std::string v;
    for (const std::string& l : lines) {
        if (l.size() > key.size() && l.compare(0, key.size(), key) == 0 && l[key.size()] == '=') {
            v = l.substr(key.size() + 1);  // a later line wins, as in the plug-in's reading
        }
    }
    return v;
}

}  // namespace

bool SnapshotIdentity(const StrataUrl& url, std::string& identity, std::string& error)
{
    RunShellCmdInfo info;
    info.cmd = std::string("sudo ") + GetCorvaneRootPath(kModule, 0) + kIdentityCommand;
    // The agent is reached on loopback in the manager address's family.
    const std::string agent = url.manager.find(':') != std::string::npos ? "::1" : "127.0.0.1";
    info.params = {agent, url.manager, url.name, url.pool};
    info.cmdCode = kIdentityCode;
    info.reserved = 0;
    info.requestId = 0;
    std::vector<std::string> lines;
    std::string text;
    RestToMgr::ExceSystemCmd(info, lines, text);
    const std::string code = Value(lines, "ResultCode");
    identity = Value(lines, "snapIdentity");
    if (code == "0" && !identity.empty()) return true;
    identity.clear();
    if (code == "50150006") {
        error = "no snapshot " + url.name + " in pool " + url.pool;
    } else if (code == "50151409") {
        error = "the snapshot name " + url.name + " is ambiguous in pool " + url.pool + "; name it as IMAGE@SNAPSHOT" +
                (text.empty() ? std::string() : " (" + text + ")");
    } else {
        error = "the storage gave no identity of snapshot " + url.name +
                (code.empty() ? " (no answer" + (text.empty() ? std::string() : ": " + text) + ")"
                              : " (result code " + code + ")");
    }
    return false;
}

}  // namespace dmtask
