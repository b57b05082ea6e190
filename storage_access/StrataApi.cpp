#include "storage_access/StrataApi.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <cstdlib>
#include <exception>

#include "foundation/LogAsCaller.h"
#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "host/CommandChannel.h"
#include "host/ConfigReader.h"
#include "host/RootPath.h"
#include "host/Timer.h"

namespace {
const char MODULE_NAME[] = "StrataApi";

const char BITMAP_TOOL[] = "/qbctool/qrmQBCTool.sh";
const char CLIENT_TOOL[] = "/bin/security_sudo_qbc_cli.sh";
const char CREATE_TEMPLATE[] =
    " --op createBitmapVolume --staIp '?' --snapNameFrom '?' --snapNameTo '?' --strataFloatIP '?' --volName '?' "
    "--poolId '?'";
const char QUERY_TEMPLATE[] = " --op queryBitmapVolume --staIp '?' --strataFloatIP '?' --volName '?' --poolId '?'";
const char ATTACH_TEMPLATE[] = " -c attachwithip -v '?' -i '?' -p ?";
const char DETACH_TEMPLATE[] = " -c detachwithip -v '?' -i '?' -p ?";
const char DELETE_TEMPLATE[] = " --op deleteVolume --staIp '?' --strataFloatIP '?' --volName '?' --poolId '?'";

const char IPV4_AGENT[] = "127.0.0.1";
const char IPV6_AGENT[] = "::1";

const unsigned int BITMAP_POLL_SECONDS = 5;
const unsigned int ATTACH_SETTLE_SECONDS = 5;
const unsigned int BUSY_WAIT_SECONDS = 300;
const int MAX_BUSY_RETRIES = 3;
const int MAX_QUERY_FAILURES = 5;

// Only two agent addresses exist, so the last one used fits in one atomic flag.
std::atomic<bool> s_lastAgentIsV6{false};

// C atoi's reading (blanks, sign, digits up to the first non-digit, 0 without
// digits), saturated instead of undefined when the text overflows.
int32_t AtoI(const std::string& text)
{
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

struct CommandOutcome {
    int ret = 0;
    uint64_t durationMs = 0;
    std::string errorText;
    std::map<std::string, std::string> keys;
};

uint64_t SteadyNowMicros()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

struct StepBook {
    std::mutex mutex;
    std::map<std::string, uint64_t> micros;
    int settling = 0;
    uint64_t settleSince = 0;
    uint64_t settleWall = 0;
};

StepBook& Book()
{
    static StepBook* book = new StepBook;  // never destroyed: threads may still report at exit
    return *book;
}

bool NamesBitmap(const std::vector<std::string>& params)
{
    static const std::string suffix = "_BITMAP";
    for (const std::string& p : params) {
        if (p.size() >= suffix.size() && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0) return true;
    }
    return false;
}

const char* StepOf(uint64_t code, bool bitmap)
{
    switch (code) {
        case STRATA_CMD_CREATE_BITMAP: return "bitmap_create";
        case STRATA_CMD_QUERY_BITMAP: return "bitmap_query";
        case STRATA_CMD_ATTACH: return bitmap ? "attach_bitmap" : "attach_volume";
        case STRATA_CMD_DETACH: return bitmap ? "detach_bitmap" : "detach_volume";
        case STRATA_CMD_DELETE_VOLUME: return "bitmap_delete";
        default: return "other_command";
    }
}

// Runs one tool command; the result is decided by the output keys alone.
CommandOutcome RunToolCommand(const char* tool, const char* cmdTemplate, std::vector<std::string> params,
                              uint64_t code)
{
    const uint64_t requestId = *OruTSP::get(TSP_RequestID);
    RunShellCmdInfo info;
    info.cmd = std::string("sudo ") + GetCorvaneRootPath(MODULE_NAME, requestId) + tool + cmdTemplate;
    info.params = std::move(params);
    info.cmdCode = code;
    info.reserved = 0;
    info.requestId = requestId;

    CommandOutcome outcome;
    std::vector<std::string> outputLines;
    Oru::Timer timer;
    LOG_STREAM(2) << "Start to run command, code=" << code << ", command=" << info.cmd;
    {
        StrataSteps::StepTimer step(StepOf(code, NamesBitmap(info.params)));
        outcome.ret = RestToMgr::ExceSystemCmd(info, outputLines, outcome.errorText);
    }
    outcome.durationMs = timer.Duration();
    if (outcome.ret != 0) {
        printCmdOutputInfo(MODULE_NAME, requestId, outputLines,
                           outcome.errorText.empty() ? std::vector<std::string>{}
                                                     : std::vector<std::string>{outcome.errorText});
    }
    outcome.keys = StrataApi::ToKevValue(outputLines);
    return outcome;
}

bool Has(const std::map<std::string, std::string>& keys, const char* key)
{
    return keys.find(key) != keys.end();
}

// The line every tool command ends with: "<what>: <name> failed. duration=N<failSuffix>" or
// "<what> <name> successfully. duration=N", logged under the caller's name.
void LogCommandEnd(const CommandOutcome& out, const char* what, const std::string& name, const char* caller,
                   const std::string& failSuffix = std::string())
{
    if (out.ret != 0) {
        LOG_STREAM_AS(4, caller) << what << ": " << name << " failed. duration=" << out.durationMs << failSuffix;
    } else {
        LOG_STREAM_AS(2, caller) << what << " " << name << " successfully. duration=" << out.durationMs;
    }
}

// Runs an attach or detach command and checks that it answered "ret_code" and "ret_desc".
bool RunClientCommand(const char* what, const char* cmdTemplate, uint64_t cmdCode, const std::string& volName,
                      const std::string& mgrIp, const std::string& poolId, const char* caller, CommandOutcome& out)
{
    out = RunToolCommand(CLIENT_TOOL, cmdTemplate, {volName, mgrIp, poolId}, cmdCode);
    LogCommandEnd(out, what, volName, caller);
    for (const char* key : {"ret_code", "ret_desc"}) {
        if (!Has(out.keys, key)) {
            LOG_STREAM_AS(4, caller) << "return value is not found " << key << ".";
            return false;
        }
    }
    return true;
}
// The barrier of every entry point: an exception (an allocation failure, a
// library error) becomes -1 with the table's text, logged under the entry's name.
template <typename Body>
int32_t Guarded(const char* caller, std::string& errStr, Body body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        LOG_STREAM_AS(4, caller) << "Storage command failed with an exception: " << e.what();
    } catch (...) {
        LOG_STREAM_AS(4, caller) << "Storage command failed with an unknown exception.";
    }
    try {
        errStr = "Unknown error!";
    } catch (...) {
        // Nothing more can be reported; the result still says failure.
    }
    return STRATA_UNKNOWN_ERROR;
}
}  // namespace

namespace StrataSteps {
void Add(const std::string& step, uint64_t micros)
{
    StepBook& b = Book();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.micros[step] += micros;
}

std::map<std::string, double> Seconds()
{
    StepBook& b = Book();
    std::lock_guard<std::mutex> lock(b.mutex);
    std::map<std::string, double> out;
    for (const auto& e : b.micros) out[e.first] = static_cast<double>(e.second) / 1e6;
    return out;
}

double SettleWallSeconds()
{
    StepBook& b = Book();
    std::lock_guard<std::mutex> lock(b.mutex);
    uint64_t wall = b.settleWall + (b.settling > 0 ? SteadyNowMicros() - b.settleSince : 0);
    return static_cast<double>(wall) / 1e6;
}

StepTimer::StepTimer(const char* step) : m_step(step), m_start(SteadyNowMicros()) {}

StepTimer::~StepTimer()
{
    Add(m_step, SteadyNowMicros() - m_start);
}

SettleScope::SettleScope(const char* step) : StepTimer(step)
{
    StepBook& b = Book();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.settling++ == 0) b.settleSince = m_start;
}

SettleScope::~SettleScope()
{
    StepBook& b = Book();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (--b.settling == 0) b.settleWall += SteadyNowMicros() - b.settleSince;
}
}  // namespace StrataSteps

StrataApi::StrataApi(const std::string& mgrIpIn, const std::string& poolIdIn) : mgrIp(mgrIpIn), poolId(poolIdIn)
{
    errCodeMap[0] = "OK";
    errCodeMap[1000] = "Strata agent is not be installed !";
    errCodeMap[1001] = "Java file is not exist !";
    errCodeMap[1002] = "Java file have no permission !";
    errCodeMap[1003] = "QBC_TOOL configure fault !";
    errCodeMap[50150006] = "The snapshot is not exist !";
    errCodeMap[50150005] = "The volume is not exitst !";
    errCodeMap[50151401] = "The volume has been attached !";
    errCodeMap[50151601] = "The volume has been detached !";
    errCodeMap[50151404] = "The volume or snapshot ist not exist !";
    errCodeMap[50153007] = "The from snap and to volume of bitmap volume are different branch!";
    errCodeMap[50560010] = "The snapshotID is same with previous backup.";
    errCodeMap[10010] = "Manually aborting a task";
    errCodeMap[-1] = "Unknown error!";
}

StrataApi::~StrataApi() = default;

void StrataApi::UpdateMgrIPAndPoolID(const std::string& mgrIpIn, const std::string& poolIdIn)
{
    mgrIp = mgrIpIn;
    poolId = poolIdIn;
}

std::string StrataApi::GetPoolID() const
{
    return poolId;
}

std::string StrataApi::GetStrataAgentIp(const std::string& ip)
{
    const bool v6 = ip.find(':') != std::string::npos;
    s_lastAgentIsV6.store(v6);
    return v6 ? IPV6_AGENT : IPV4_AGENT;
}

std::string StrataApi::LastStrataAgentIp()
{
    return s_lastAgentIsV6.load() ? IPV6_AGENT : IPV4_AGENT;
}

std::string StrataApi::GetErrString(int32_t code) const
{
    auto it = errCodeMap.find(code);
    return it != errCodeMap.end() ? it->second : std::string("Unknown error !");
}

std::map<std::string, std::string> StrataApi::ToKevValue(const std::vector<std::string>& lines)
{
    std::map<std::string, std::string> result;
    for (const auto& line : lines) {
        LOG_STREAM(1) << "std::string :" << line;
        size_t pos = line.find('=');
        if (pos == std::string::npos) {
            pos = line.find(':');
        }
        if (pos == std::string::npos) {
            continue;
        }
        result[line.substr(0, pos)] = line.substr(pos + 1);
    }
    return result;
}

int32_t StrataApi::DoCreateBitmapVol(BitmapVolumeInfo& info, std::string& errStr)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        const std::string agentIp = GetStrataAgentIp(mgrIp);
        LOG_STREAM(2) << "Start to create volume bitmap, volume name: " << info.volName << ", strataMgr IP: " << mgrIp
                      << ", stAgent IP: " << agentIp << ", snapNameFrom: " << info.snapNameFrom
                      << ", snapNameTo: " << info.snapNameTo << ", pool ID: " << poolId;
        CommandOutcome out = RunToolCommand(BITMAP_TOOL, CREATE_TEMPLATE,
                                            {agentIp, info.snapNameFrom, info.snapNameTo, mgrIp, info.volName, poolId},
                                            STRATA_CMD_CREATE_BITMAP);
        LogCommandEnd(out, "Create different bitmap volume", info.volName, __PRETTY_FUNCTION__,
                      ",errDesc: " + out.errorText);
        if (!Has(out.keys, "ResultCode")) {
            LOG_STREAM(4) << "Create bitmap volume failed, return value is not found ResultCode.";
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        int32_t code = AtoI(out.keys["ResultCode"]);
        if (code != 0) {
            LOG_STREAM(4) << "Create bitmap volume failed, return code=" << code << ", error string=" << GetErrString(code);
            errStr = GetErrString(code);
            return code;
        }
        if (!Has(out.keys, "snapSize") || !Has(out.keys, "blockSize") || !Has(out.keys, "bitmapSize")) {
            LOG_STREAM(4) << "Create bitmap volume failed, retrun value error.";
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        info.snapSize = AtoI(out.keys["snapSize"]);
        info.blockSize = AtoI(out.keys["blockSize"]);
        info.bitmapSize = AtoI(out.keys["bitmapSize"]);
        return STRATA_OK;
    });
}

int32_t StrataApi::QueryBitmapVol(BitmapVolumeInfo& info, std::string& errStr)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        const std::string agentIp = GetStrataAgentIp(mgrIp);
        LOG_STREAM(2) << "Start to query volume bitmap, volume name: " << info.volName << ", strataMgr IP: " << mgrIp
                      << ", stAgent IP: " << agentIp << ", pool ID: " << poolId;
        CommandOutcome out =
            RunToolCommand(BITMAP_TOOL, QUERY_TEMPLATE, {agentIp, mgrIp, info.volName, poolId}, STRATA_CMD_QUERY_BITMAP);
        LogCommandEnd(out, "Query different bitmap volume", info.volName, __PRETTY_FUNCTION__);
        if (!Has(out.keys, "ResultCode")) {
            LOG_STREAM(4) << "Query bitmap volume failed, retrun value error";
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        int32_t code = AtoI(out.keys["ResultCode"]);
        if (code != 0) {
            LOG_STREAM(4) << "Query bitmap volume failed, return code=" << code << ", error string=" << GetErrString(code);
            errStr = GetErrString(code);
            return code;
        }
        if (!Has(out.keys, "snapSize") || !Has(out.keys, "blockSize") || !Has(out.keys, "volSize") ||
            !Has(out.keys, "status")) {
            LOG_STREAM(4) << "Query bitmap volume failed, retrun value error";
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        info.snapSize = AtoI(out.keys["snapSize"]);
        info.blockSize = AtoI(out.keys["blockSize"]);
        info.bitmapSize = AtoI(out.keys["volSize"]);
        info.status = AtoI(out.keys["status"]);
        return STRATA_OK;
    });
}

int32_t StrataApi::CreateBitmapVolume(BitmapVolumeInfo& info, std::string& errStr, const AbortFunc& abortFn)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        Oru::Timer timer;
        LOG_STREAM(1) << "start create bitmap volume.";
        int32_t ret = DoCreateBitmapVol(info, errStr);
        LOG_STREAM(1) << "CreateBitmapVolume End, duration=" << timer.Duration();
        if (ret != STRATA_OK) {
            LOG_STREAM(4) << "CODE[" << ret << "] create bitmap failed.Error string is " << errStr;
            return ret;
        }

        BitmapVolumeInfo probe;
        probe.volName = info.volName;
        int failures = 0;
        uint64_t polls = 0;
        for (;;) {
            if (abortFn && abortFn().load()) {
                LOG_STREAM(3) << "Receive abort task message.";
                errStr = GetErrString(STRATA_TASK_ABORTED);
                return STRATA_TASK_ABORTED;
            }
            // Read on every pass so that a changed limit applies at once; a negative
            // value, taken as unsigned, leaves the wait unbounded in time.
            int timeout = ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true);
            LOG_STREAM(1) << "createBitmapTimeoutSec is " << timeout << "sec";
            const uint64_t elapsed = polls * BITMAP_POLL_SECONDS;
            if (elapsed >= static_cast<uint64_t>(static_cast<int64_t>(timeout))) {
                LOG_STREAM(4) << "CreateBitmapVolume retry time out,totalRetryTime is " << elapsed << "sec";
                return STRATA_UNKNOWN_ERROR;
            }
            LOG_STREAM(1) << "query create bitmap volume status.";
            int32_t r = QueryBitmapVol(probe, errStr);
            if (r != STRATA_OK) {
                LOG_STREAM(4) << "CODE[" << r << "] query bitmap failed.";
                if (++failures > MAX_QUERY_FAILURES) {
                    return r;
                }
                oru_sleep(BITMAP_POLL_SECONDS);
                continue;
            }
            failures = 0;
            LOG_STREAM(1) << "bitmap volume create status:[" << probe.status << "].";
            if (probe.status == 0) {
                return STRATA_OK;
            }
            if (probe.status != 7) {
                LOG_STREAM(4) << "bitmap volume " << info.volName << " creation failed with status " << probe.status;
                errStr = GetErrString(STRATA_UNKNOWN_ERROR);
                return STRATA_UNKNOWN_ERROR;
            }
            ++polls;
            StrataSteps::StepTimer wait("bitmap_poll_wait");
            oru_sleep(BITMAP_POLL_SECONDS);
        }
    });
}

int32_t StrataApi::DeleteBitmapVolumeNoRetry(const std::string& volName, std::string& errStr)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        const std::string agentIp = GetStrataAgentIp(mgrIp);
        LOG_STREAM(2) << "Start to delete volume, volume name: " << volName << ", strataMgr IP: " << mgrIp
                      << ", stAgent IP: " << agentIp;
        CommandOutcome out =
            RunToolCommand(BITMAP_TOOL, DELETE_TEMPLATE, {agentIp, mgrIp, volName, poolId}, STRATA_CMD_DELETE_VOLUME);
        if (out.ret != 0) {
            LOG_STREAM(4) << "Delete volume: " << volName << " failed.";
        } else {
            LOG_STREAM(2) << "Delete volume " << volName << " successfully.";
        }
        if (!Has(out.keys, "ResultCode")) {
            LOG_STREAM(4) << "Delete volume failed, return value is not found ResultCode.";
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        int32_t code = AtoI(out.keys["ResultCode"]);
        if (code == STRATA_OK || code == STRATA_VOLUME_NOT_EXIST) {
            return STRATA_OK;
        }
        errStr = GetErrString(code);
        return code;
    });
}

int32_t StrataApi::DeleteBitmapVolume(const std::string& volName, std::string& errStr)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        LOG_STREAM(2) << "Start to delete volume, volume name: " << volName << ", strataMgr IP: " << mgrIp
                      << ", stAgent IP: " << GetStrataAgentIp(mgrIp);
        int busy = 0;
        bool retry = false;
        for (;;) {
            if (retry) {
                LOG_STREAM(3) << "Maybe strata is busy, wait for " << BUSY_WAIT_SECONDS << " to retry";
                oru_sleep(BUSY_WAIT_SECONDS);
            }
            Oru::Timer timer;
            int32_t r = DeleteBitmapVolumeNoRetry(volName, errStr);
            LOG_STREAM(3) << "DeleteBitmapVolume End, vol name=" << volName << ", duration=" << timer.Duration();
            if (r == STRATA_OK) {
                return STRATA_OK;
            }
            if (r == STRATA_UNKNOWN_ERROR) {
                LOG_STREAM(4) << "Delete bitmap volume failed, error string=" << errStr;
                return STRATA_UNKNOWN_ERROR;
            }
            if (r == STRATA_BUSY && ++busy <= MAX_BUSY_RETRIES) {
                retry = true;
                continue;
            }
            LOG_STREAM(4) << "Delete bitmap volume failed, return code=" << r << ", error string=" << GetErrString(r);
            errStr = GetErrString(r);
            return r;
        }
    });
}

int32_t StrataApi::AttachVolume(const std::string& volName, std::string& devPath, std::string& errStr)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        GetStrataAgentIp(mgrIp);
        LOG_STREAM(2) << "Start to attach volume, volume name: " << volName << ", strata IP: " << mgrIp;
        CommandOutcome out;
        if (!RunClientCommand("Attach volume", ATTACH_TEMPLATE, STRATA_CMD_ATTACH, volName, mgrIp, poolId,
                              __PRETTY_FUNCTION__, out)) {
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        int32_t code = AtoI(out.keys["ret_code"]);
        errStr = out.keys["ret_desc"];
        if (code == STRATA_OK) {
            LOG_STREAM(1) << "attach volume[" << volName << "] success.";
            auto dev = out.keys.find("dev_addr");
            if (dev == out.keys.end()) {
                LOG_STREAM(4) << "return value is not found " << "dev_addr" << ".";
                errStr = GetErrString(STRATA_UNKNOWN_ERROR);
                return STRATA_UNKNOWN_ERROR;
            }
            devPath = dev->second;
            // The device node needs a moment to settle before it is opened.
            StrataSteps::SettleScope settle(NamesBitmap({volName}) ? "settle_bitmap" : "settle_volume");
            oru_sleep(ATTACH_SETTLE_SECONDS);
            return STRATA_OK;
        }
        if (code == STRATA_VOLUME_ATTACHED) {
            auto dev = out.keys.find("dev_addr");
            devPath = dev != out.keys.end() ? dev->second : std::string();
            LOG_STREAM(1) << "volume[" << volName << "]  has been attach.";
            return STRATA_OK;
        }
        LOG_STREAM(4) << "Attach volume[" << volName << "]  failed. Reason is " << errStr << ".";
        return code;
    });
}

int32_t StrataApi::DetachVolume(const std::string& volName, std::string& errStr)
{
    return Guarded(__PRETTY_FUNCTION__, errStr, [&]() -> int32_t {
        GetStrataAgentIp(mgrIp);
        LOG_STREAM(2) << "Start to detach volume, volume name: " << volName << ", strataMgr IP: " << mgrIp;
        CommandOutcome out;
        if (!RunClientCommand("Detach volume", DETACH_TEMPLATE, STRATA_CMD_DETACH, volName, mgrIp, poolId,
                              __PRETTY_FUNCTION__, out)) {
            errStr = GetErrString(STRATA_UNKNOWN_ERROR);
            return STRATA_UNKNOWN_ERROR;
        }
        int32_t code = AtoI(out.keys["ret_code"]);
        errStr = out.keys["ret_desc"];
        if (code == STRATA_OK) {
            LOG_STREAM(1) << "Detach volume[" << volName << "] success.";
            return STRATA_OK;
        }
        if (code == STRATA_VOLUME_DETACHED) {
            LOG_STREAM(1) << "volume[" << volName << "] has been detached.";
            return STRATA_OK;
        }
        if (code == STRATA_VOLUME_NOT_FOUND) {
            LOG_STREAM(2) << "volume[" << volName << "] is not exist.";
            return STRATA_OK;
        }
        LOG_STREAM(4) << "Detach volume[" << volName << "]  failed, ret=" << code << ", error string= " << errStr;
        return code;
    });
}
