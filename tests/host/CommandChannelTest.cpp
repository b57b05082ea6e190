#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "host/CommandChannel.h"
#include "host/testing/Fakes.h"

namespace {

// A tool that prints the argument vector it received as a JSON array.
const std::string kRecorder = "python3 -c 'import sys,json;print(json.dumps(sys.argv[1:]))'";

std::vector<std::string> ParseArgv(const std::vector<std::string>& lines)
{
    std::string all;
    for (const auto& l : lines) {
        all += l;
    }
    Json::Value v;
    std::istringstream in(all);
    std::string errs;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errs) || !v.isArray()) {
        return {"<unparsable:" + all + ">"};
    }
    std::vector<std::string> out;
    for (const auto& e : v) {
        out.push_back(e.asString());
    }
    return out;
}

const std::vector<std::string> kHostile = {
    "plain", "with space", "a'b", "'", "''", "; touch /tmp/dm_pwned_1", "| touch /tmp/dm_pwned_2",
    "& touch /tmp/dm_pwned_3", "$(touch /tmp/dm_pwned_4)", "`touch /tmp/dm_pwned_5`", "line1\nline2",
    "*", "/tmp/*", "-rf", "--op", "", "back\\slash", "dq\"uote", "$HOME", "~", "tab\there", "?", "a?b",
};

void ExpectNoPwnedFiles()
{
    for (int i = 1; i <= 5; ++i) {
        std::string p = "/tmp/dm_pwned_" + std::to_string(i);
        EXPECT_NE(::access(p.c_str(), F_OK), 0) << p << " was created: a value reached a shell";
        ::unlink(p.c_str());
    }
}

class CommandChannelHostile : public ::testing::TestWithParam<std::string> {};

// Run directly and, through the pipeline, by a shell.
TEST_P(CommandChannelHostile, ValueArrivesByteForByteDirectAndThroughAShell)
{
    ProcessCommandRunner runner;
    const std::string& v = GetParam();
    for (const std::string& line : {kRecorder + " '?' -p ?", kRecorder + " '?' -p ? | cat"}) {
        SCOPED_TRACE(line);
        CommandResult r = runner.Run(line, {v, v}, 30);
        ASSERT_TRUE(r.error.empty()) << r.error;
        ASSERT_EQ(r.exitCode, 0);
        EXPECT_EQ(ParseArgv(r.outLines), (std::vector<std::string>{v, "-p", v}));
        ExpectNoPwnedFiles();
    }
}

INSTANTIATE_TEST_SUITE_P(Values, CommandChannelHostile, ::testing::ValuesIn(kHostile));

TEST(CommandChannel, RefusesWhatCannotBePlacedBeforeRunning)
{
    ProcessCommandRunner runner;
    // A NUL byte in a value: see the caller's case below.
    CommandResult r = runner.Run("touch \"/tmp/dm_refused_?\"", {"x"}, 5);
    EXPECT_NE(r.error.find("double quotes"), std::string::npos) << r.error;
    r = runner.Run("touch /tmp/dm_refused_? ?", {"x"}, 5);
    EXPECT_NE(r.error.find("parameter marks"), std::string::npos) << r.error;
    r = runner.Run("touch '/tmp/dm_refused_?", {"x"}, 5);
    EXPECT_NE(r.error.find("unterminated"), std::string::npos) << r.error;
    EXPECT_NE(::access("/tmp/dm_refused_x", F_OK), 0);
}

TEST(CommandChannel, TimeOutKillsTheWholeProcessGroup)
{
    ProcessCommandRunner runner;
    auto start = std::chrono::steady_clock::now();
    CommandResult r = runner.Run("sh -c 'sleep 30 & sleep 30'", {}, 1);
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(secs, 10);
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_NE(r.error.find("timed out"), std::string::npos);
}

TEST(CommandChannel, SudoDroppedForRootOrWithoutSudo)
{
    auto plan = CommandTemplate::Build("sudo /bin/echo '?'", {"x"}, true);
    ASSERT_TRUE(plan.ok);
    EXPECT_EQ(plan.argv, (std::vector<std::string>{"/bin/echo", "x"}));
    plan = CommandTemplate::Build("sudo /bin/echo '?'", {"x"}, false);
    EXPECT_EQ(plan.argv.front(), "sudo");
    if (::geteuid() == 0) {
        EXPECT_TRUE(CommandTemplate::ShouldDropSudo());
    }
}

// Through the process runner: output lines, error text and exit code, also of
// a program that does not exist, and a refused value as a failure of its own.
TEST(RestToMgr, ExceSystemCmdReportsChannelAndExitFailures)
{
    RunShellCmdInfo info;
    info.cmd = "sh -c 'echo ResultCode=0; echo out2; echo broken >&2; exit 2'";
    std::vector<std::string> out;
    std::string err;
    EXPECT_EQ(RestToMgr::ExceSystemCmd(info, out, err), 2);
    EXPECT_EQ(out, (std::vector<std::string>{"ResultCode=0", "out2"}));
    EXPECT_EQ(err, "broken");
    info.cmd = "/nonexistent/tool --x";
    EXPECT_EQ(RestToMgr::ExceSystemCmd(info, out, err), 127);
    info.cmd = "echo '?'";
    info.params = {std::string("\0", 1)};
    EXPECT_EQ(RestToMgr::ExceSystemCmd(info, out, err), -1);
    EXPECT_NE(err.find("refused: parameter 1 contains a NUL"), std::string::npos) << err;
}

TEST(ScriptedCommandRunner, AnswersInOrderAndRecordsUnexpected)
{
    testing_fakes::ScriptedCommandRunner script;
    script.Expect("tool -v 'vol1'", {{"a=1"}, 0, {}, {}});
    script.Expect("tool -v 'vol1'", {{"a=2"}, 0, {}, {}});
    RunShellCmdInfo info;
    info.cmd = "tool -v '?'";
    info.params = {"vol1"};
    std::vector<std::string> out;
    std::string err;
    ASSERT_EQ(RestToMgr::ExceSystemCmd(info, out, err), 0);
    EXPECT_EQ(out.front(), "a=1");
    RestToMgr::ExceSystemCmd(info, out, err);
    EXPECT_EQ(out.front(), "a=2");
    RestToMgr::ExceSystemCmd(info, out, err);  // the last reply repeats
    EXPECT_EQ(out.front(), "a=2");
    info.params = {"other"};
    EXPECT_NE(RestToMgr::ExceSystemCmd(info, out, err), 0);
    EXPECT_EQ(script.Unexpected(), (std::vector<std::string>{"tool -v 'other'"}));
    EXPECT_EQ(script.Calls().size(), 4u);
}
}  // namespace
