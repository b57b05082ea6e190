// The simulator's state: one JSON document (state.json) under <root>/var/strata-sim,
// read and written only while the process holds an exclusive flock on the "lock" file
// next to it, and replaced atomically (temporary file + rename) so a killed invocation
// never leaves a torn document. Backing files live in volumes/, device links in dev/.
// One SimStore per process; it is not shared between threads.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include <json/json.h>

namespace sim {

// Result codes the simulated storage answers (and its own additions, see README.md).
enum : int {
    kOk = 0,
    kAgentMissing = 1000,
    kVolumeMissing = 50150005,
    kSnapshotMissing = 50150006,
    kAlreadyAttached = 50151401,
    kVolumeInUse = 50151402,      // ours: delete of an attached volume
    kNotFound = 50151404,
    kAlreadyDetached = 50151601,
    kBusy = 50151006,
    kAlreadyExists = 50151007,    // ours: create of a name that exists with other content
    kDifferentBranch = 50153007,
    kUnknown = -1,
};

constexpr uint64_t kDefaultBlockSize = 1048576;
constexpr const char kAgentDefaultPath[] = "/opt/strata/agent/bin/strata_agent";

// A refusal with a text for standard error and an exit status.
struct SimError : std::runtime_error {
    explicit SimError(const std::string& what, int status = 1) : std::runtime_error(what), exitStatus(status) {}
    int exitStatus;
};

// errno as text, in one place.
std::string ErrnoText(int err);

class SimStore {
public:
    explicit SimStore(const std::string& root);
    ~SimStore();
    SimStore(const SimStore&) = delete;
    SimStore& operator=(const SimStore&) = delete;

    // Takes the lock (blocking) and loads the document; Unlock drops both.
    void Lock();
    void Unlock();
    bool Locked() const { return m_lockFd >= 0; }
    Json::Value& Doc() { return m_doc; }
    // Writes the document back (lock must be held).
    void Save();

    const std::string& Root() const { return m_root; }
    const std::string& Dir() const { return m_dir; }
    std::string Path(const std::string& rel) const { return m_dir + "/" + rel; }

    // A new, unique backing-file stem ("v17"): names are never used as file names.
    std::string NewFileStem();
    // Simulator settings with their defaults.
    uint64_t BlockSize() const;
    int PendingQueries() const;
    std::string AttachMode() const;
    bool RequireAgent() const;
    // Appends one record to calls.jsonl (lock must be held).
    void RecordCall(const Json::Value& call);

private:
    std::string m_root;
    std::string m_dir;
    int m_lockFd = -1;
    Json::Value m_doc;
};

// Small file helpers.
void MakeDirs(const std::string& path);
bool PathExists(const std::string& path);
std::string ReadWholeFile(const std::string& path);
void WriteFileAtomic(const std::string& path, const std::string& data);
std::string ToJsonText(const Json::Value& value, bool pretty);
Json::Value ParseJsonText(const std::string& text);

// Agent program path: General/StrataAgentPath of <root>/conf/datamover.ini, or the constant.
std::string AgentProgramPath(const std::string& root);
// PID of the running agent stand-in, 0 when none runs.
long AgentPid(const SimStore& store);

}  // namespace sim
