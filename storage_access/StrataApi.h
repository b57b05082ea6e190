// The storage's command-line tools as operations: create, poll and delete a
// differential bitmap volume, attach and detach a volume on this host. Each
// call runs one command through the host's command channel and blocks its
// thread (including 5- and 300-second pauses). One instance per owner; an
// instance is not shared between threads, but any number of instances may run
// commands concurrently.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "foundation/VolumeParas.h"

// The storage's result codes that callers act on.
enum STRATA_RESULT_CODE : int32_t {
    STRATA_OK = 0,
    STRATA_AGENT_NOT_INSTALLED = 1000,
    STRATA_JAVA_FILE_NOT_EXIST = 1001,
    STRATA_JAVA_FILE_NO_PERMISSION = 1002,
    STRATA_QBC_TOOL_CONFIG_FAULT = 1003,
    STRATA_TASK_ABORTED = 10010,
    STRATA_VOLUME_NOT_EXIST = 50150005,
    STRATA_SNAPSHOT_NOT_EXIST = 50150006,
    STRATA_BUSY = 50151006,
    STRATA_VOLUME_ATTACHED = 50151401,
    STRATA_VOLUME_NOT_FOUND = 50151404,
    STRATA_VOLUME_DETACHED = 50151601,
    STRATA_DIFFERENT_BRANCH = 50153007,
    STRATA_SAME_SNAPSHOT = 50560010,
    STRATA_UNKNOWN_ERROR = -1,
};

// Command codes handed to the command channel.
enum STRATA_COMMAND_CODE : uint64_t {
    STRATA_CMD_CREATE_BITMAP = 100010,
    STRATA_CMD_QUERY_BITMAP = 100011,
    STRATA_CMD_ATTACH = 100012,
    STRATA_CMD_DETACH = 100013,
    STRATA_CMD_DELETE_VOLUME = 100014,
};

// Where a task's time went in the storage, process-wide and from any thread:
// seconds per step ("bitmap_create", "bitmap_query", "attach_bitmap",
// "settle_bitmap", "bitmap_read", "detach_volume", ...; a bitmap volume's
// steps are told apart from a snapshot's or a volume's) summed over threads,
// and the wall time in which at least one attach settle was waiting, so that
// settles that overlap count once.
namespace StrataSteps {
void Add(const std::string& step, uint64_t micros);
std::map<std::string, double> Seconds();
double SettleWallSeconds();
// Adds the time from its construction to its end to `step` (a literal).
class StepTimer {
public:
    explicit StepTimer(const char* step);
    ~StepTimer();
    StepTimer(const StepTimer&) = delete;
    StepTimer& operator=(const StepTimer&) = delete;

protected:
    const char* m_step;
    uint64_t m_start;
};
// Times one settle pause, counted into SettleWallSeconds while any is open.
class SettleScope : public StepTimer {
public:
    explicit SettleScope(const char* step);
    ~SettleScope();
};
}  // namespace StrataSteps

// One differential bitmap volume between two snapshots.
struct BitmapVolumeInfo {
    std::string volName;
    int32_t status = 1;      // 0 ready, 7 still being created, other values failed
    int32_t bitmapSize = 0;  // "bitmapSize" from create, "volSize" from query
    int32_t snapSize = 0;    // MiB
    std::string snapNameFrom;  // empty: a bitmap of everything
    std::string snapNameTo;
    int32_t blockSize = 0;  // bytes of volume per bit
    bool isRestore = false;
};

class StrataApi {
public:
    StrataApi(const std::string& mgrIp, const std::string& poolId);
    virtual ~StrataApi();

    void UpdateMgrIPAndPoolID(const std::string& mgrIp, const std::string& poolId);
    std::string GetPoolID() const;

    // The agent address a manager address implies: "::1" for an IPv6 manager
    // (one containing ":"), else "127.0.0.1". Records it as the last one used
    // (thread-safe) and returns it; each command uses the value returned for
    // its own manager address, never a shared one.
    static std::string GetStrataAgentIp(const std::string& ip);
    // The agent address most recently set by any command ("127.0.0.1" initially).
    static std::string LastStrataAgentIp();

    // Creates the bitmap volume and waits until the storage has built it.
    // `abortFn` may be empty. 0, a storage code, -1 or 10010.
    virtual int32_t CreateBitmapVolume(BitmapVolumeInfo& info, std::string& errStr, const AbortFunc& abortFn);
    // Deletes a volume, waiting out the storage's busy answer (up to four attempts).
    virtual int32_t DeleteBitmapVolume(const std::string& volName, std::string& errStr);
    // Attaches a volume; devPath gets the device node. Already attached is success.
    virtual int32_t AttachVolume(const std::string& volName, std::string& devPath, std::string& errStr);
    // Detaches a volume. Already detached or missing is success.
    virtual int32_t DetachVolume(const std::string& volName, std::string& errStr);
    // One delete command. A missing volume is success.
    virtual int32_t DeleteBitmapVolumeNoRetry(const std::string& volName, std::string& errStr);

    int32_t DoCreateBitmapVol(BitmapVolumeInfo& info, std::string& errStr);
    int32_t QueryBitmapVol(BitmapVolumeInfo& info, std::string& errStr);

    std::string GetErrString(int32_t code) const;
    // key=value (or key:value) lines to a map; the first separator splits, later
    // lines win, lines with neither are skipped.
    static std::map<std::string, std::string> ToKevValue(const std::vector<std::string>& lines);

protected:
    std::string mgrIp;
    std::string poolId;
    std::map<int32_t, std::string> errCodeMap;
};
