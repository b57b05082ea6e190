// The volume tool commands against a scripted command runner: the exact command
// lines and parameter lists, output parsing, the bitmap wait, busy deletes,
// attach/detach idempotence and the agent address of concurrent instances.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/RootPath.h"
#include "host/testing/Fakes.h"
#include "storage_access/StrataApi.h"

namespace {
using testing_fakes::ConfigOverride;
using testing_fakes::LogCapture;
using testing_fakes::ScriptedCommandRunner;
using testing_fakes::VirtualClock;
using Reply = ScriptedCommandRunner::Reply;

const std::string kRoot = "/opt/dmroot";
const std::string kBitmapTool = "sudo " + kRoot + "/qbctool/qrmQBCTool.sh";
const std::string kClientTool = "sudo " + kRoot + "/bin/security_sudo_qbc_cli.sh";

// The tool templates; Line fills in the parameters as the command channel does.
const std::string kCreate = kBitmapTool + " --op createBitmapVolume --staIp '?' --snapNameFrom '?' --snapNameTo '?'"
                                          " --strataFloatIP '?' --volName '?' --poolId '?'";
const std::string kQuery = kBitmapTool + " --op queryBitmapVolume --staIp '?' --strataFloatIP '?' --volName '?' --poolId '?'";
const std::string kDelete = kBitmapTool + " --op deleteVolume --staIp '?' --strataFloatIP '?' --volName '?' --poolId '?'";
const std::string kAttach = kClientTool + " -c attachwithip -v '?' -i '?' -p ?";
const std::string kDetach = kClientTool + " -c detachwithip -v '?' -i '?' -p ?";

std::string Line(std::string line, const std::vector<std::string>& params)
{
    size_t at = 0;
    for (const std::string& p : params) {
        at = line.find('?', at);
        line.replace(at, 1, p);
        at += p.size();
    }
    return line;
}

Reply Out(std::vector<std::string> lines, int exitCode = 0)
{
    Reply r;
    r.out = std::move(lines);
    r.exitCode = exitCode;
    return r;
}

const Reply kCreated = Out({"ResultCode=0", "snapSize=10240", "blockSize=1048576", "bitmapSize=1280"});
Reply Status(int status)
{
    return Out({"ResultCode=0", "snapSize=1", "blockSize=2", "volSize=3", "status=" + std::to_string(status)});
}

class StrataApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRootPath(kRoot);
        m_config.Set("General", "CreateBitmapTimeoutSec", 3600);
    }
    void TearDown() override
    {
        SetRootPath("");
        EXPECT_TRUE(m_runner.Unexpected().empty()) << m_runner.Unexpected().front();
    }

    BitmapVolumeInfo Info()
    {
        BitmapVolumeInfo info;
        info.volName = "bmp_1";
        info.snapNameFrom = "snapA";
        info.snapNameTo = "snapB";
        return info;
    }

    VirtualClock m_clock;
    ConfigOverride m_config;
    LogCapture m_logs;
    ScriptedCommandRunner m_runner;
    StrataApi m_api{"10.1.2.3", "pool7"};
    const std::string m_create = Line(kCreate, {"127.0.0.1", "snapA", "snapB", "10.1.2.3", "bmp_1", "pool7"});
    const std::string m_query = Line(kQuery, {"127.0.0.1", "10.1.2.3", "bmp_1", "pool7"});
};

// ---- Command lines and parameters ----

// Hostile names travel only as parameters, never inside a template; each
// request logs its command code.
TEST_F(StrataApiTest, EveryCommandHasItsTemplateParametersAndCode)
{
    const std::string bm = "b'; rm -rf / #$(id)`x`";
    const std::string vol = "v'; rm -rf / #$(id)`x`";
    const struct {
        std::string cmdTemplate;
        std::vector<std::string> params;
        Reply reply;
    } expected[] = {
        {kCreate, {"127.0.0.1", "snapA", "snapB", "10.1.2.3", bm, "pool7"}, kCreated},
        {kQuery, {"127.0.0.1", "10.1.2.3", bm, "pool7"}, Status(0)},
        {kDelete, {"127.0.0.1", "10.1.2.3", bm, "pool7"}, Out({"ResultCode=0"})},
        {kAttach, {vol, "10.1.2.3", "pool7"}, Out({"ret_code=0", "ret_desc=ok", "dev_addr=/dev/sdq"})},
        {kDetach, {vol, "10.1.2.3", "pool7"}, Out({"ret_code=0", "ret_desc=ok"})},
    };
    for (const auto& e : expected) {
        m_runner.Expect(Line(e.cmdTemplate, e.params), e.reply);
    }
    BitmapVolumeInfo info = Info();
    info.volName = bm;
    std::string err;
    std::string dev;
    ASSERT_EQ(m_api.CreateBitmapVolume(info, err, AbortFunc()), 0);
    ASSERT_EQ(m_api.DeleteBitmapVolume(bm, err), 0);
    ASSERT_EQ(m_api.AttachVolume(vol, dev, err), 0);
    ASSERT_EQ(m_api.DetachVolume(vol, err), 0);
    auto calls = m_runner.Calls();
    ASSERT_EQ(calls.size(), 5u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].cmdTemplate, expected[i].cmdTemplate) << i;
        EXPECT_EQ(calls[i].params, expected[i].params) << i;
    }
    for (int code = 100010; code <= 100014; ++code) {
        EXPECT_TRUE(m_logs.Contains("run command code " + std::to_string(code) + ": ")) << code;
    }
}

// The agent address follows the manager's family, also after the manager and
// pool are changed.
TEST_F(StrataApiTest, IPv6ManagerMakesEveryCommandUseTheIPv6Agent)
{
    StrataApi api("fe80::1", "p");
    m_runner.Expect(Line(kCreate, {"::1", "snapA", "snapB", "fe80::1", "bmp_1", "p"}), kCreated);
    m_runner.Expect(Line(kQuery, {"::1", "fe80::1", "bmp_1", "p"}), Status(0));
    m_runner.Expect(Line(kDelete, {"::1", "fe80::1", "bm", "p"}), Out({"ResultCode=0"}));
    BitmapVolumeInfo info = Info();
    std::string err;
    EXPECT_EQ(api.CreateBitmapVolume(info, err, AbortFunc()), 0);
    EXPECT_EQ(api.DeleteBitmapVolumeNoRetry("bm", err), 0);
    EXPECT_EQ(StrataApi::LastStrataAgentIp(), "::1");
    EXPECT_TRUE(m_logs.Contains("stAgent IP: ::1", 2));
    EXPECT_EQ(StrataApi::GetStrataAgentIp("192.168.0.1"), "127.0.0.1");
    EXPECT_EQ(StrataApi::LastStrataAgentIp(), "127.0.0.1");
    EXPECT_EQ(StrataApi::GetStrataAgentIp("::ffff:10.0.0.1"), "::1");

    api.UpdateMgrIPAndPoolID("10.9.9.9", "poolX");
    m_runner.Expect(Line(kDelete, {"127.0.0.1", "10.9.9.9", "bm", "poolX"}), Out({"ResultCode=0"}));
    m_runner.Expect(Line(kDetach, {"v", "10.9.9.9", "poolX"}), Out({"ret_code=0", "ret_desc=ok"}));
    EXPECT_EQ(api.DeleteBitmapVolumeNoRetry("bm", err), 0);
    EXPECT_EQ(api.DetachVolume("v", err), 0);
    EXPECT_EQ(api.GetPoolID(), "poolX");
}

// Two instances with different manager addresses on two threads: each command
// must carry the agent address its own manager implies.
TEST_F(StrataApiTest, ConcurrentInstancesKeepTheirOwnAgentAddress)
{
    StrataApi v4("10.0.0.1", "p");
    StrataApi v6("fd00::7", "p");
    m_runner.Expect(Line(kDelete, {"127.0.0.1", "10.0.0.1", "bm", "p"}), Out({"ResultCode=0"}));
    m_runner.Expect(Line(kDelete, {"::1", "fd00::7", "bm", "p"}), Out({"ResultCode=0"}));
    const int rounds = 300;
    std::atomic<int> failures{0};
    auto worker = [&](StrataApi* api) {
        std::string err;
        for (int i = 0; i < rounds; ++i) {
            failures += api->DeleteBitmapVolumeNoRetry("bm", err) == 0 ? 0 : 1;
        }
    };
    std::thread a(worker, &v4);
    std::thread b(worker, &v6);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    auto calls = m_runner.Calls();
    ASSERT_EQ(calls.size(), 2u * rounds);
    for (const auto& c : calls) {
        ASSERT_EQ(c.params.size(), 4u);
        const bool v6Manager = c.params[1].find(':') != std::string::npos;
        EXPECT_EQ(c.params[0], v6Manager ? "::1" : "127.0.0.1") << c.line;
    }
}

// ---- Output parsing ----

TEST_F(StrataApiTest, KeyValueParsing)
{
    auto kv = StrataApi::ToKevValue({"ResultCode:50150006", "a=b=c", "no separator here", "", "x:y=z", " k = v ",
                                     "dup=1", "dup=2", "=empty-key", "novalue="});
    EXPECT_EQ(kv["ResultCode"], "50150006");
    EXPECT_EQ(kv["a"], "b=c");
    EXPECT_EQ(kv["x:y"], "z") << "an equals sign wins over an earlier colon";
    EXPECT_EQ(kv[" k "], " v ") << "keys and values are not trimmed";
    EXPECT_EQ(kv["dup"], "2");
    EXPECT_EQ(kv[""], "empty-key");
    EXPECT_EQ(kv["novalue"], "");
    EXPECT_EQ(kv.count("no separator here"), 0u);
    EXPECT_EQ(kv.size(), 7u);
}

// atoi reading: blanks and sign, digits up to the first non-digit, no digits gives 0.
TEST_F(StrataApiTest, AtoiNumbers)
{
    m_runner.Expect(m_query, Out({"ResultCode= +0junk", "snapSize= 12MiB", "blockSize=-4x", "volSize=abc",
                                  "status=  7 "}));
    BitmapVolumeInfo probe;
    probe.volName = "bmp_1";
    std::string err;
    EXPECT_EQ(m_api.QueryBitmapVol(probe, err), 0);
    EXPECT_EQ(probe.snapSize, 12);
    EXPECT_EQ(probe.blockSize, -4);
    EXPECT_EQ(probe.bitmapSize, 0);
    EXPECT_EQ(probe.status, 7);
}

TEST_F(StrataApiTest, CreateOutcomes)
{
    struct Case {
        Reply reply;
        int32_t result;
        std::string err;
    };
    const std::vector<Case> cases = {
        {kCreated, 0, ""},
        // The channel's exit status does not decide: the keys do.
        {Out({"ResultCode=0", "snapSize=10240", "blockSize=1048576", "bitmapSize=1280"}, 3), 0, ""},
        {Out({"snapSize=1", "blockSize=2", "bitmapSize=3"}), -1, "Unknown error!"},
        {Out({"ResultCode=0", "snapSize=1", "blockSize=2"}), -1, "Unknown error!"},
        // A colon separator is KeyValueParsing's; this code's text is the delete's "other code".
        {Out({"ResultCode=50150005"}), 50150005, "The volume is not exitst !"},
        {Out({"ResultCode=50560010"}), 50560010, "The snapshotID is same with previous backup."},
        {Out({"garbage", "ResultCode=1000"}, 1), 1000, "Strata agent is not be installed !"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        ScriptedCommandRunner runner;
        runner.Expect(m_create, cases[i].reply);
        BitmapVolumeInfo info = Info();
        std::string err;
        EXPECT_EQ(m_api.DoCreateBitmapVol(info, err), cases[i].result) << i;
        EXPECT_EQ(err, cases[i].err) << i;
        if (cases[i].result == 0) {
            EXPECT_EQ(info.snapSize, 10240) << i;
            EXPECT_EQ(info.blockSize, 1048576) << i;
            EXPECT_EQ(info.bitmapSize, 1280) << i;
        } else {
            EXPECT_EQ(info.snapSize, 0) << "a failed create leaves the sizes alone, case " << i;
        }
    }
    EXPECT_EQ(m_api.GetErrString(0), "OK");
    EXPECT_TRUE(m_logs.Contains("Create bitmap volume failed, retrun value error.", 4));
    EXPECT_TRUE(m_logs.Contains("Create bitmap volume failed, return code=50150005", 4));
    EXPECT_TRUE(m_logs.Contains("Create different bitmap volume: bmp_1 failed. duration=0,errDesc: exit status 3", 4));
}

TEST_F(StrataApiTest, QueryNeedsAllItsKeys)
{
    for (const char* missing : {"snapSize", "blockSize", "volSize", "status"}) {
        std::vector<std::string> lines = {"ResultCode=0"};
        for (const char* k : {"snapSize", "blockSize", "volSize", "status"}) {
            if (std::string(k) != missing) {
                lines.push_back(std::string(k) + "=0");
            }
        }
        ScriptedCommandRunner runner;
        runner.Expect(m_query, Out(lines));
        BitmapVolumeInfo probe;
        probe.volName = "bmp_1";
        std::string err;
        EXPECT_EQ(m_api.QueryBitmapVol(probe, err), -1) << missing;
        EXPECT_EQ(err, "Unknown error!");
        EXPECT_EQ(probe.status, 1) << "status keeps its initial value";
    }
}

// ---- The bitmap creation wait ----

// After a good create the query is polled 5 s apart until ready; it ends on a
// failed status, on six failed queries in a row (failures do not count as
// elapsed time, and a good query resets their count), or when the configured
// time (read afresh, negative: unbounded) is used up. A failed create polls nothing.
TEST_F(StrataApiTest, WaitPollsUntilTheBitmapIsReadyOrTheWaitEnds)
{
    const Reply fail404 = Out({"ResultCode=50151404"});
    const Reply unusable = Out({"no result here"});
    struct Case {
        const char* name;
        int timeout;
        Reply create;
        std::vector<std::pair<Reply, int>> queries;  // reply, times
        int32_t result;
        size_t queried;
        size_t sleeps;
        std::string err;
        const char* log;
    } cases[] = {
        {"ready after three pending", 3600, kCreated, {{Status(7), 3}, {Status(0), 1}}, 0, 4, 3, "",
         "bitmap volume create status:[7]."},
        {"zero time", 0, kCreated, {}, -1, 0, 0, "untouched", "CreateBitmapVolume retry time out,totalRetryTime is 0sec"},
        {"ten seconds", 10, kCreated, {{Status(7), 1}}, -1, 2, 2, "untouched",
         "CreateBitmapVolume retry time out,totalRetryTime is 10sec"},
        {"unbounded", -1, kCreated, {{Status(7), 1000}, {Status(0), 1}}, 0, 1001, 1000, "", nullptr},
        {"six failed queries", 3600, kCreated, {{fail404, 1}}, 50151404, 6, 5, "The volume or snapshot ist not exist !",
         "CODE[50151404] query bitmap failed."},
        {"five failures then ready", 5, kCreated, {{unusable, 5}, {Status(0), 1}}, 0, 6, 5, "", nullptr},
        {"failures reset by a good query", 3600, kCreated,
         {{Out({"ResultCode=1003"}), 5}, {Status(7), 1}, {Out({"ResultCode=1003"}), 5}, {Status(7), 1},
          {Out({"ResultCode=1003"}), 5}, {Status(7), 1}, {Status(0), 1}},
         0, 19, 18, "", nullptr},
        {"failed status", 3600, kCreated, {{Status(7), 1}, {Status(3), 1}}, -1, 2, 1, "Unknown error!", nullptr},
        {"failed create", 3600, Out({"ResultCode=50150006"}), {}, 50150006, 0, 0, "The snapshot is not exist !",
         "CODE[50150006] create bitmap failed.Error string is The snapshot is not exist !"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualClock clock;
        ScriptedCommandRunner runner;
        m_logs.Clear();
        m_config.Set("General", "CreateBitmapTimeoutSec", c.timeout);
        runner.Expect(m_create, c.create);
        for (const auto& q : c.queries) {
            for (int i = 0; i < q.second; ++i) {
                runner.Expect(m_query, q.first);
            }
        }
        BitmapVolumeInfo info = Info();
        std::string err = "untouched";
        EXPECT_EQ(m_api.CreateBitmapVolume(info, err, AbortFunc()), c.result);
        size_t queried = 0;
        for (const auto& call : runner.Calls()) {
            queried += call.line == m_query ? 1 : 0;
        }
        EXPECT_EQ(queried, c.queried);
        EXPECT_EQ(clock.SleepsSeconds(), std::vector<uint64_t>(c.sleeps, 5));
        if (c.result == 0) {
            // The caller keeps the sizes of the create step, not those of the probe.
            EXPECT_EQ(info.snapSize, 10240);
            EXPECT_EQ(info.bitmapSize, 1280);
        } else {
            EXPECT_EQ(err, c.err);
        }
        if (c.log != nullptr) {
            EXPECT_TRUE(m_logs.Contains(c.log, c.result == 0 ? 1 : 4)) << m_logs.Dump();
        }
    }
}

// The abort accessor runs once per pass: at a chosen pass it either raises the
// abort flag or shrinks the time limit (read afresh on every pass).
TEST_F(StrataApiTest, AbortOrAShorterLimitStopsTheWait)
{
    const struct {
        const char* name;
        int atPass;
        bool abort;  // else the limit drops to 5 s
        int32_t result;
        size_t queried;
        std::string err;
    } cases[] = {
        {"aborted before the first query", 1, true, 10010, 0, "Manually aborting a task"},
        {"aborted while pending", 3, true, 10010, 2, "Manually aborting a task"},
        {"limit shrunk while pending", 3, false, -1, 2, "untouched"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedCommandRunner runner;
        m_logs.Clear();
        m_config.Set("General", "CreateBitmapTimeoutSec", 3600);
        runner.Expect(m_create, kCreated);
        runner.Expect(m_query, Status(7));
        boost::atomics::atomic<bool> flag(false);
        int passes = 0;
        AbortFunc probe = [&]() -> boost::atomics::atomic<bool>& {
            if (++passes == c.atPass) {
                if (c.abort) {
                    flag.store(true);
                } else {
                    m_config.Set("General", "CreateBitmapTimeoutSec", 5);
                }
            }
            return flag;
        };
        BitmapVolumeInfo info = Info();
        std::string err = "untouched";
        EXPECT_EQ(m_api.CreateBitmapVolume(info, err, probe), c.result);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(runner.Calls().size(), 1 + c.queried);
        EXPECT_EQ(m_logs.Contains("Receive abort task message.", 3), c.abort);
    }
}

// ---- Delete ----

// Only the busy answer is retried: four attempts in all, 300 s apart. A
// missing volume is a successful delete; the single-shot variant never retries.
TEST_F(StrataApiTest, DeleteRetriesOnlyTheBusyAnswer)
{
    const Reply busy = Out({"ResultCode=50151006"});
    struct Case {
        const char* name;
        bool noRetry;
        std::vector<Reply> replies;
        int32_t result;
        size_t calls;
        size_t pauses;
        std::string err;
    } cases[] = {
        // The retrying variant only wraps the single shot: its 0 is "busy twice".
        {"missing, single shot", true, {Out({"ResultCode=50150005"})}, 0, 1, 0, ""},
        {"busy throughout", false, {busy}, 50151006, 4, 3, "Unknown error !"},
        {"busy twice", false, {busy, busy, Out({"ResultCode=0"})}, 0, 3, 2, ""},
        {"busy, single shot", true, {busy}, 50151006, 1, 0, "Unknown error !"},
        {"other code", false, {Out({"ResultCode=50153007"})}, 50153007, 1, 0,
         "The from snap and to volume of bitmap volume are different branch!"},
        {"unusable", false, {Out({"garbage"}, 2)}, -1, 1, 0, "Unknown error!"},
        {"overflowing code saturates", true, {Out({"ResultCode=99999999999999"})}, INT32_MAX, 1, 0, "Unknown error !"},
    };
    const std::string line = Line(kDelete, {"127.0.0.1", "10.1.2.3", "bm", "pool7"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualClock clock;
        ScriptedCommandRunner runner;
        m_logs.Clear();
        for (const Reply& r : c.replies) {
            runner.Expect(line, r);
        }
        std::string err;
        EXPECT_EQ(c.noRetry ? m_api.DeleteBitmapVolumeNoRetry("bm", err) : m_api.DeleteBitmapVolume("bm", err),
                  c.result);
        EXPECT_EQ(runner.Calls().size(), c.calls);
        EXPECT_EQ(clock.SleepsSeconds(), std::vector<uint64_t>(c.pauses, 300));
        EXPECT_EQ(m_logs.Count("Maybe strata is busy, wait for 300 to retry", 3), c.pauses);
        if (c.result != 0) {
            EXPECT_EQ(err, c.err);
        }
        if (c.pauses == 3) {
            EXPECT_TRUE(m_logs.Contains("Delete bitmap volume failed, return code=50151006", 4));
        }
    }
}

// Retries go through the virtual slot, so a subclass sees every attempt.
TEST_F(StrataApiTest, DeleteRetriesThroughTheVirtualSlot)
{
    struct Counting : StrataApi {
        using StrataApi::StrataApi;
        int calls = 0;
        int32_t DeleteBitmapVolumeNoRetry(const std::string&, std::string& err) override
        {
            err = "busy";
            return ++calls < 3 ? 50151006 : 0;
        }
    } api("10.1.2.3", "p");
    std::string err;
    EXPECT_EQ(api.DeleteBitmapVolume("x", err), 0);
    EXPECT_EQ(api.calls, 3);
    EXPECT_TRUE(m_runner.Calls().empty());
}

// ---- Attach and detach ----

TEST_F(StrataApiTest, AttachOutcomes)
{
    const std::string line = Line(kAttach, {"vol", "10.1.2.3", "pool7"});
    struct Case {
        Reply reply;
        int32_t result;
        std::string dev;
        std::string err;
        size_t sleeps;
    };
    const std::vector<Case> cases = {
        {Out({"ret_code=0", "ret_desc=attached", "dev_addr=/dev/sdx"}), 0, "/dev/sdx", "attached", 1},
        {Out({"ret_code=50151401", "ret_desc=already"}), 0, "", "already", 0},
        {Out({"ret_code=50151401", "ret_desc=already", "dev_addr=/dev/sdy"}), 0, "/dev/sdy", "already", 0},
        {Out({"ret_code=0", "ret_desc=attached"}), -1, "keep", "Unknown error!", 0},
        {Out({"ret_code=0", "dev_addr=/dev/sdx"}), -1, "keep", "Unknown error!", 0},
        {Out({"ret_desc=x", "dev_addr=/dev/sdx"}), -1, "keep", "Unknown error!", 0},
        {Out({"ret_code=50150005", "ret_desc=no such volume"}), 50150005, "keep", "no such volume", 0},
        {Out({"ret_code:0", "ret_desc:a:b", "dev_addr:/dev/sdz"}), 0, "/dev/sdz", "a:b", 1},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        VirtualClock clock;
        ScriptedCommandRunner runner;
        runner.Expect(line, cases[i].reply);
        std::string dev = "keep";
        std::string err;
        EXPECT_EQ(m_api.AttachVolume("vol", dev, err), cases[i].result) << i;
        EXPECT_EQ(dev, cases[i].dev) << i;
        EXPECT_EQ(err, cases[i].err) << i;
        EXPECT_EQ(clock.SleepsSeconds().size(), cases[i].sleeps) << i;
    }
    EXPECT_TRUE(m_logs.Contains("return value is not found dev_addr.", 4));
    EXPECT_TRUE(m_logs.Contains("return value is not found ret_desc.", 4));
    EXPECT_TRUE(m_logs.Contains("Attach volume[vol]  failed. Reason is no such volume.", 4));
}

TEST_F(StrataApiTest, DetachOutcomes)
{
    const std::string line = Line(kDetach, {"vol", "10.1.2.3", "pool7"});
    struct Case {
        Reply reply;
        int32_t result;
        std::string err;
    };
    const std::vector<Case> cases = {
        {Out({"ret_code=0", "ret_desc=done"}), 0, "done"},
        {Out({"ret_code=50151601", "ret_desc=was detached"}), 0, "was detached"},
        {Out({"ret_code=50151404", "ret_desc=not found"}), 0, "not found"},
        {Out({"ret_code=1003", "ret_desc=tool broken"}, 1), 1003, "tool broken"},
        // No output at all (a missing tool) takes the same branch as a missing code.
        {Out({"ret_desc=x"}), -1, "Unknown error!"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        ScriptedCommandRunner runner;
        runner.Expect(line, cases[i].reply);
        std::string err;
        EXPECT_EQ(m_api.DetachVolume("vol", err), cases[i].result) << i;
        EXPECT_EQ(err, cases[i].err) << i;
    }
    EXPECT_TRUE(m_logs.Contains("volume[vol] is not exist.", 2));
    EXPECT_TRUE(m_logs.Contains("Detach volume[vol]  failed, ret=1003, error string= tool broken", 4));
    EXPECT_TRUE(m_logs.Contains("Detach volume: vol failed. duration=", 4));
}

}  // namespace
