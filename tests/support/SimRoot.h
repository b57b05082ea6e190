// A throw-away installation root with the simulated storage (strata-sim), for tests.
// One SimRoot per test or fixture: the constructor lays out
//   <root>/lib/      links to every shared library of the build (plug-ins, host library)
//   <root>/bin/      strata-sim, security_sudo_qbc_cli.sh
//   <root>/qbctool/  qrmQBCTool.sh
//   <root>/script/   reg_qs.sh
//   <root>/conf/     datamover.ini (the project's file plus Options::hostConfig and the
//                    agent program override, General/StrataAgentPath)
//   <root>/opt/strata/agent/bin/strata_agent   the agent stand-in program (when installed)
//   <root>/var/      log/, cache/, strata-sim/ (the simulator's state)
// and points the host at it (SetRootPath, ConfigReader::SetConfigFile). The destructor
// stops the agent stand-in, releases loop devices, removes the root and gives the host
// back the root path and configuration file it had before.
// A SimRoot is used from one thread; the simulator itself is safe for concurrent tool
// calls from any number of threads and processes. Admin helpers throw std::runtime_error
// (with the simulator's error text) when the simulator refuses a command.
// Use: link `sim_testing` (defined in tests/support; no TARGET check needed) and include
// "tests/support/SimRoot.h". sim/strata-sim/README.md describes the simulator's answers.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

namespace simtest {

// The agent program path the host reads when it is set (section "General").
constexpr const char kAgentPathSection[] = "General";
constexpr const char kAgentPathKey[] = "StrataAgentPath";

// One fault rule. Operations: "create", "query", "delete" (qrmQBCTool.sh), "attach",
// "detach" (security_sudo_qbc_cli.sh), "reg", "unreg" (reg_qs.sh).
// Calls are counted per operation from the moment the rule is added: nth = 1 is the
// next call. A rule fires on that call only, or (persistent) on that call and every later one.
struct SimFault {
    enum class Kind {
        Code,     // answer `code` without doing anything (reg/unreg: exit status code & 255, or 1)
        Busy,     // answer 50151006 without doing anything
        DropKey,  // do the operation, leave output key `key` out of the answer
        Garbage,  // do nothing, print lines that hold no key=value
        Stall,    // sleep `stallMs` milliseconds, then answer normally
        Status    // query only: answer the creation status `status` (e.g. 3 for failed)
    };
    std::string op;
    int nth = 1;
    bool persistent = false;
    Kind kind = Kind::Code;
    int code = -1;
    std::string key;
    int stallMs = 0;
    int status = 0;

    static SimFault FailWith(const std::string& op, int code, int nth = 1, bool persistent = false)
    {
        return {op, nth, persistent, Kind::Code, code, "", 0, 0};
    }
    static SimFault Busy(const std::string& op, int nth = 1, bool persistent = false)
    {
        return {op, nth, persistent, Kind::Busy, 50151006, "", 0, 0};
    }
    static SimFault DropKey(const std::string& op, const std::string& key, int nth = 1, bool persistent = false)
    {
        return {op, nth, persistent, Kind::DropKey, 0, key, 0, 0};
    }
    static SimFault Garbage(const std::string& op, int nth = 1, bool persistent = false)
    {
        return {op, nth, persistent, Kind::Garbage, 0, "", 0, 0};
    }
    static SimFault Stall(const std::string& op, int ms, int nth = 1, bool persistent = false)
    {
        return {op, nth, persistent, Kind::Stall, 0, "", ms, 0};
    }
    static SimFault Status(int status, int nth = 1, bool persistent = false)
    {
        return {"query", nth, persistent, Kind::Status, 0, "", 0, status};
    }
};

// What the simulated storage holds (parsed from `strata-sim admin state`).
struct SimVolume {
    std::string name;
    std::string kind;     // "volume", "snapshot" or "bitmap"
    uint64_t size = 0;    // bytes (bitmap: bytes of the bitmap volume)
    std::string parent;   // snapshot: its volume; bitmap: its snapNameTo
    std::string from;     // bitmap: its snapNameFrom (empty: everything marked)
    uint64_t blockSize = 0; // bitmap: bytes of volume per bit
    std::string backing;  // absolute path of the backing file
};
struct SimAttachment {
    std::string name;
    std::string device;   // the path answered as dev_addr
    std::string mode;     // "link" (symbolic link to the backing file) or "loop"
};
struct SimRegistration {
    std::string device;   // the path reg_qs.sh was given
    std::string resolved; // its canonical path at registration time
    std::string volume;   // the attached volume behind it, empty if none was found
};
struct SimState {
    std::map<std::string, SimVolume> volumes;   // every kind, by name
    std::map<std::string, SimAttachment> attachments;
    std::vector<SimRegistration> registrations;
    std::map<std::string, int> calls;           // tool calls so far, by operation
    Json::Value raw;                            // the full document

    bool Has(const std::string& name) const { return volumes.count(name) != 0; }
    bool IsAttached(const std::string& name) const { return attachments.count(name) != 0; }
    std::vector<std::string> Bitmaps() const;   // names of bitmap volumes
    // Nothing attached, registered or left as a bitmap volume.
    bool Clean() const { return attachments.empty() && registrations.empty() && Bitmaps().empty(); }
};

// One recorded tool invocation (`strata-sim admin calls`).
struct SimCall {
    std::string personality;            // "qrm", "cli" or "reg"
    std::vector<std::string> args;      // the arguments the script received, byte for byte
    std::string op;                     // the operation it was taken as ("" if unusable)
    int result = 0;                     // the code it answered (reg/unreg: exit status)
};

class SimRoot {
public:
    struct Options {
        bool installAgent = true;       // put the agent program in place
        bool startAgent = false;        // and start it
        bool pointHost = true;          // SetRootPath + ConfigReader::SetConfigFile
        // Simulator settings (`strata-sim admin config set`): "block_size",
        // "bitmap_pending_queries", "attach_mode" ("link" or "loop"), "require_agent".
        std::map<std::string, std::string> simConfig;
        // Extra host configuration: {section, key} -> value, written into datamover.ini.
        std::map<std::pair<std::string, std::string>, std::string> hostConfig;
    };

    SimRoot();
    explicit SimRoot(const Options& options);
    ~SimRoot();
    SimRoot(const SimRoot&) = delete;
    SimRoot& operator=(const SimRoot&) = delete;

    const std::string& Root() const { return m_root; }
    std::string StateDir() const { return m_root + "/var/strata-sim"; }
    std::string SimBinary() const { return m_root + "/bin/strata-sim"; }
    std::string QrmTool() const { return m_root + "/qbctool/qrmQBCTool.sh"; }
    std::string CliTool() const { return m_root + "/bin/security_sudo_qbc_cli.sh"; }
    std::string RegScript() const { return m_root + "/script/reg_qs.sh"; }
    std::string ConfigFile() const { return m_root + "/conf/datamover.ini"; }
    std::string AgentProgram() const { return m_root + "/opt/strata/agent/bin/strata_agent"; }

    // Runs `strata-sim --root <root> admin <args>`; returns its exit status.
    int RunAdmin(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) const;
    // The same, throwing on a non-zero exit; returns standard output.
    std::string Admin(const std::vector<std::string>& args) const;

    void CreateVolume(const std::string& name, uint64_t size) const;
    void DeleteVolume(const std::string& name) const;
    void Write(const std::string& volume, uint64_t offset, const std::string& bytes) const;
    void WritePattern(const std::string& volume, uint64_t offset, uint64_t length, uint8_t byte) const;
    void WriteRandom(const std::string& volume, uint64_t offset, uint64_t length, uint64_t seed) const;
    // Bytes of the backing file of a volume, snapshot or bitmap volume (short at its end).
    std::string Read(const std::string& name, uint64_t offset, uint64_t length) const;
    std::string BackingPath(const std::string& name) const;
    void Snapshot(const std::string& volume, const std::string& snapshot) const;
    void DeleteSnapshot(const std::string& snapshot) const;

    void SetSimConfig(const std::string& key, const std::string& value) const;
    void InjectFault(const SimFault& fault) const;
    void ClearFaults() const;

    SimState State() const;
    std::vector<SimCall> Calls() const;

    void StartAgent() const;
    void StopAgent() const;
    void UninstallAgent() const;   // stops it and removes the program file
    bool AgentRunning() const;

    // Whether this machine lets the simulator attach through real loop devices.
    static bool LoopDevicesUsable();

    // Runs a program (no shell) and collects its output; returns its exit status
    // (128 + signal when killed, -1 when it could not start).
    static int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr,
                          std::string* err = nullptr);
    // Splits text into lines (no trailing empty line).
    static std::vector<std::string> Lines(const std::string& text);

private:
    void Build(const Options& options);
    std::string m_root;
    bool m_pointedHost = false;
    std::string m_previousConfig;
};

}  // namespace simtest
