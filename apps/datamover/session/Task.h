// One plug-in task of this process and what surrounds it: its identity,
// journal and message sink, the storage objects it claims, descriptors from the
// factory, the abort flag raised by SIGINT/SIGTERM, and the switches tests use
// (pause divisor, crash points). Objects belong to the subcommand's thread
// unless noted.
#pragma once
#include <json/json.h>

#include <boost/atomic.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "apps/datamover/CommandContext.h"
#include "apps/datamover/session/StorageUrl.h"
#include "foundation/DiskDescriptor.h"
#include "foundation/VolumeParas.h"
#include "host/HostMessageSink.h"
#include "host/Logger.h"

namespace dmtask {

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

// Tests set DATAMOVER_PAUSE_DIVISOR=N to shorten every pause of the host
// clock (attach settle, retry waits) N times; unset or invalid: real pauses.
void InstallPauseDivisorFromEnvironment();

// Tests set DATAMOVER_CRASH_AT=<name> to kill the process (SIGKILL, as a
// power cut would) when it reaches the named point of a multi-step change.
void CrashPoint(const char* name);

// mkdir -p with mode 0750; false with errno set.
bool MakeDirs(const std::string& dir);

}  // namespace dmtask
