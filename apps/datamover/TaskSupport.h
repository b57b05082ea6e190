// What the data-moving subcommands share: strict checks of the storage URLs,
// one task's identity, journal and message sink, descriptors from the factory,
// the abort flag raised by SIGINT/SIGTERM, a terminal progress bar and output
// helpers. Objects here belong to the subcommand's thread unless noted.
#pragma once
#include <json/json.h>

#include <boost/atomic.hpp>
#include <cstdint>
#include <memory>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "apps/datamover/CommandContext.h"
#include "foundation/DiskDescriptor.h"
#include "foundation/VolumeParas.h"
#include "host/HostMessageSink.h"
#include "host/Logger.h"

namespace dmtask {

// scheme://manager/pool/name, split exactly as the plug-in splits it.
struct StrataUrl {
    std::string manager;
    std::string pool;
    std::string name;
};
// Refuses anything the plug-in would refuse, and names that are not plain
// storage names, before any storage operation runs.
bool ParseStrataUrl(const std::string& url, StrataUrl& out, std::string& error);
std::string WithName(const std::string& url, const std::string& name);
bool ValidStorageName(const std::string& name);
// ValidStorageName with the reason: "bad <what> '<name>': ..." (empty, too long, a character).
bool CheckStorageName(const std::string& what, const std::string& name, std::string& error);
// A UUID in any case; NormalVolumeId gives the lower-case form every chain is kept under.
bool ValidVolumeId(const std::string& id);
std::string NormalVolumeId(const std::string& id);
// "1073741824", "1G", "512M", "4K" (powers of 1024).
bool ParseSize(const std::string& text, uint64_t& out);
std::string HumanBytes(uint64_t bytes);
std::string HumanDuration(double seconds);

// Raised by SIGINT or SIGTERM once InstallSignalHandlers ran; async-signal-safe.
void InstallSignalHandlers();
bool Interrupted();
// The flag the handler raises too, so a plug-in waiting on it stops early.
void SetAbortTarget(boost::atomics::atomic<bool>* flag);

// One task of this process: a fresh identifier, its journal
// (<root>/var/tasks/<id>.json, held locked while the task lives so that a
// clean-up never touches a running task) and its message sink, which keeps the
// cached task data under <root>/var/cache for a later clean-up.
class Task {
public:
    Task(const CommandContext& ctx, const std::string& kind);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    const std::string& Id() const { return m_id; }
    HostMessageSink& Sink() { return *m_sink; }
    boost::atomics::atomic<bool>& AbortFlag() { return m_abort; }
    // Writes the journal (what a clean-up needs to rebuild a descriptor) and
    // takes the task lock. The lock's descriptor is deliberately inherited by
    // the storage commands the plug-in runs, so a command still in flight after
    // this process died keeps the task "running" until it ends.
    bool Begin(const Json::Value& details, std::string& error);
    // The task ended; keeps the journal and cached data only when the data
    // still names attached or created volumes.
    void End();
    // True when the latest cached task data names any volume.
    bool HasLeftovers() const;

    static std::string TasksDir(const std::string& root);

private:
    std::string m_root;
    std::string m_kind;
    std::string m_id;
    std::unique_ptr<HostMessageSink> m_sink;
    boost::atomics::atomic<bool> m_abort{false};
    int m_lockFd = -1;
    bool m_begun = false;
};

// An exclusive claim of one storage object or local target (a snapshot being
// read, a volume or file being written) by one task of this installation root,
// held while the object lives (an flock under <root>/var/locks, dropped by the
// kernel when the process dies). A second task on the same object is refused at
// once, naming the holder, instead of both racing on one attachment.
class ObjectLock {
public:
    ObjectLock() = default;
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;
    // `object` names the thing (a URL or an absolute path); false with the
    // reason in `error` ("... is in use by task T ...") when another task holds it.
    bool Acquire(const std::string& root, const std::string& object, const std::string& taskId, std::string& error);

private:
    int m_fd = -1;
};

// Whether a cached task data document names any attached or created volume.
bool CacheNamesVolumes(const std::string& document);

// The device a volume or snapshot is attached at, "" when the storage gives
// none. Attaching an attached volume is idempotent: the storage answers
// "already attached" with its device path, so this never adds an attachment
// to one the plug-in made.
std::string AttachedDevice(const StrataUrl& url);
// Bytes of a block device or a regular file (the simulator's devices).
bool DeviceSize(int fd, uint64_t& size);
// Both of the above: false with the reason in `error`.
bool AttachedDeviceSize(const StrataUrl& url, uint64_t& size, std::string& error);

// Fills the parameters the plug-in reads for a backup or a restore.
VolumeParas MakeParas(Task& task, const std::string& volumeId, uint64_t dataSize, int storageType,
                      int offsetKib, bool isBackup, const std::string& url, const std::string& parentUrl);
// A descriptor through the factory; false with the reason in `error`.
bool CreateDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk, std::string& error);
// "<what> failed (status N): <detail text>"
std::string DescribeFailure(const std::string& what, const EnvProxyResult& result);

// Records the first and the last level-4 log line while alive (to explain a
// failure in one line).
class FirstErrorCapture {
public:
    FirstErrorCapture();
    ~FirstErrorCapture();
    std::string Text() const;
    std::string LastText() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    CLogger::Hook m_old;
};

// A buffer aligned for direct I/O; data() is null when it could not be had.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t size);
    ~AlignedBuffer();
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    char* data() const { return static_cast<char*>(ptr); }
    void* ptr = nullptr;
};

// Runs work(k, buffer, err) for every k in [0, count) on `depth` threads, each
// with its own aligned buffer of `bufferSize` bytes. The first error (or a
// SIGINT/SIGTERM: "interrupted") stops every thread; it lands in `error`.
// `done` (bytes, advanced by the work) drives a progress bar of `total`.
bool RunOnThreads(const CommandContext& ctx, const char* label, int depth, size_t count, size_t bufferSize,
                  uint64_t total, const std::atomic<uint64_t>& done,
                  const std::function<bool(size_t k, char* buffer, std::string& err)>& work, std::string& error);

// One line on standard error saying what a long step waits for (an attach
// and its settle pause, a bitmap being built), shown on a terminal or with
// --verbose, never with --json.
void Status(const CommandContext& ctx, const std::string& text);

// A progress bar on standard error, drawn only when it is a terminal and the
// output is not JSON. Update may be called often; it redraws at most 5 times a second.
class Progress {
public:
    Progress(const CommandContext& ctx, std::string label, uint64_t total);
    ~Progress();
    void Update(uint64_t done);
    void Finish();

private:
    void Draw(uint64_t done, bool final);
    bool m_enabled;
    std::string m_label;
    uint64_t m_total;
    uint64_t m_startMicros;
    uint64_t m_lastDraw = 0;
    bool m_finished = false;
};

// Tests set DATAMOVER_PAUSE_DIVISOR=N to shorten every pause of the host
// clock (attach settle, retry waits) N times; unset or invalid: real pauses.
void InstallPauseDivisorFromEnvironment();

// Tests set DATAMOVER_CRASH_AT=<name> to kill the process (SIGKILL, as a
// power cut would) when it reaches the named point of a multi-step change.
void CrashPoint(const char* name);

uint64_t NowMicros();
double SecondsSince(uint64_t startMicros);

// Records of restores that were writing their target: written before the
// first block, removed when the target is whole, so a restore that died is
// reported until one into the same target succeeds or its target is gone.
// They live under <root>/var/restores and name their repository (by its real
// path), so a repository on read-only media restores and a restore never
// writes the repository; records older versions left in <repo>/restores are
// still read.
struct RestoreRecord {
    std::string path;
    std::string taskId;
    std::string url;       // the target: strata://M/P/NAME, file://PATH or a device path
    std::string backupId;
    std::string repo;      // the repository's real path; empty in a record kept inside it
    int64_t startedAt = 0;
    int64_t startedAtMicros = 0;  // 0 in records of older versions
};
// The one spelling of a restore target that records, completions and the
// target's ObjectLock share: a strata URL rebuilt from its parts, anything
// else as given (callers pass real paths).
std::string RestoreTargetKey(const std::string& url);
bool WriteRestoreRecord(const std::string& root, const std::string& repoRoot, const std::string& taskId,
                        const std::string& url, const std::string& backupId, std::string& path, std::string& error);
// The records of repository `repoRoot` under installation root `root`, and
// those older versions left inside the repository.
std::vector<RestoreRecord> ListRestoreRecords(const std::string& root, const std::string& repoRoot);
// A restore into `url` left it whole: every record of it that can be removed
// goes, whatever repository it names, and the completion is kept
// (<root>/var/restores/completed/) for records this call could not remove.
void RestoreCompleted(const std::string& root, const std::string& repoRoot, const std::string& url);
// Whether record `r` no longer says anything: its target is gone (a file or
// device path that does not exist, a volume the storage says it does not
// have) or a restore into it completed after it started. Never while a task
// of this root holds the target. `why` says which.
bool RestoreRecordSettled(const std::string& root, const RestoreRecord& r, std::string& why);
// "restore into X was interrupted; its content is incomplete"
std::string RestoreRecordText(const RestoreRecord& r);
void PrintJson(const Json::Value& value);

}  // namespace dmtask
