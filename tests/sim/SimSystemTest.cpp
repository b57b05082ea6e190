// The simulator as a system: concurrent invocations, the agent stand-in seen through
// the process table and a tool killed mid-call.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/sim/SimToolHelpers.h"
#include "tests/support/WaitFor.h"

using namespace simtest;

namespace {

TEST(SimConcurrency, OneAttachWinsTheOthersSeeItAttached)
{
    SimRoot root;
    root.CreateVolume("vol", 1u << 20);
    constexpr int kThreads = 8;
    std::vector<ToolResult> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { results[i] = Attach(root, "vol"); });
    }
    for (auto& t : threads) {
        t.join();
    }
    int winners = 0;
    for (const auto& r : results) {
        winners += r["ret_code"] == "0" ? 1 : 0;
        EXPECT_TRUE(r["ret_code"] == "0" || r["ret_code"] == "50151401") << r["ret_code"];
        EXPECT_EQ(results[0]["dev_addr"], r["dev_addr"]);
    }
    EXPECT_EQ(1, winners);
    SimState s = root.State();
    EXPECT_EQ(kThreads, s.calls.at("attach"));
    EXPECT_EQ(1u, s.attachments.size());
}

TEST(SimConcurrency, ParallelBitmapsAndAdminWritesKeepTheStateWhole)
{
    SimRoot root;
    root.CreateVolume("vol", 8u << 20);
    root.Snapshot("vol", "s1");
    constexpr int kThreads = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string bm = "bm" + std::to_string(i);
            if (CreateBitmap(root, "", "s1", bm)["ResultCode"] != "0") ++failures;
            if (Attach(root, bm)["ret_code"] != "0") ++failures;
            if (Detach(root, bm)["ret_code"] != "0") ++failures;
            if (i % 2 == 0 && DeleteVolume(root, bm)["ResultCode"] != "0") ++failures;
            root.WritePattern("vol", static_cast<uint64_t>(i) << 20, 4096, static_cast<uint8_t>(i + 1));
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, failures.load());
    SimState s = root.State();
    EXPECT_EQ(3u, s.Bitmaps().size());
    EXPECT_TRUE(s.attachments.empty());
    EXPECT_EQ(kThreads, s.calls.at("create"));
    EXPECT_EQ(kThreads + kThreads / 2, static_cast<int>(root.Calls().size()) - 2 * kThreads);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(std::string(4096, static_cast<char>(i + 1)), root.Read("vol", static_cast<uint64_t>(i) << 20, 4096));
    }
}

int AgentPid(const SimRoot& root)
{
    return root.State().raw["agent"]["pid"].asInt();
}

// The plug-in's process search through the host channel: a line naming
// ./strata_agent and this root.
bool SearchFindsAgent(const SimRoot& root)
{
    std::vector<std::string> out;
    Exec("ps -ef |grep -E '?' |grep -E -v grep", {"strata_agent"}, out, 100016);
    for (const auto& l : out) {
        if (l.find("./strata_agent") != std::string::npos && l.find(root.StateDir()) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(SimAgent, StartStopAndUninstall)
{
    SimRoot root;
    ASSERT_FALSE(root.AgentRunning());
    EXPECT_FALSE(SearchFindsAgent(root));
    root.StartAgent();
    root.StartAgent();  // already running: no second agent
    EXPECT_TRUE(root.AgentRunning());
    EXPECT_TRUE(SearchFindsAgent(root));
    const int pid = AgentPid(root);
    ASSERT_GT(pid, 0);
    // The search above matched ./strata_agent: it runs from the program's directory.
    char cwd[4096];
    ssize_t len = readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof(cwd) - 1);
    ASSERT_GT(len, 0);
    EXPECT_EQ(root.AgentProgram().substr(0, root.AgentProgram().rfind('/')), std::string(cwd, len));

    root.StopAgent();
    EXPECT_FALSE(root.AgentRunning());
    EXPECT_FALSE(SearchFindsAgent(root));
    root.UninstallAgent();
    EXPECT_NE(0, access(root.AgentProgram().c_str(), F_OK));
    EXPECT_NE(0, root.RunAdmin({"agent", "start"}));  // nothing to start
}

TEST(SimAgent, LeavesWhenItsRootIsRemoved)
{
    SimRoot::Options o;
    o.startAgent = true;
    SimRoot root(o);
    ASSERT_GT(AgentPid(root), 0);
    // Simulate a crashed test: the agent loses its root without being stopped.
    ASSERT_EQ(0, unlink((root.StateDir() + "/agent.pid").c_str()));
    EXPECT_TRUE(testwait::WaitFor([&] { return !root.AgentRunning(); }, std::chrono::seconds(10)));
}

TEST(SimCrash, ToolKilledMidCallLeavesAUsableState)
{
    SimRoot root;
    root.CreateVolume("vol", 1u << 20);
    root.InjectFault(SimFault::Stall("attach", 10000));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execl(root.CliTool().c_str(), root.CliTool().c_str(), "-c", "attachwithip", "-v", "vol", "-i", "1.2.3.4",
              "-p", "p", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the call is counted (it then stalls without the lock), then kill it.
    const bool counted =
        testwait::WaitFor([&] { return root.State().calls.count("attach") != 0; }, std::chrono::seconds(10));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(counted);
    SimState s = root.State();
    EXPECT_FALSE(s.IsAttached("vol"));
    ToolResult a = Attach(root, "vol");  // the stall fired once; the next call works
    EXPECT_EQ("0", a["ret_code"]);
    EXPECT_TRUE(root.State().IsAttached("vol"));
}

}  // namespace
