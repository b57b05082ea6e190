// "datamover pair-check" end to end: the built program against the loopback
// HTTPS stand-in. Skipped when the program has not been built (only this test
// binary was asked for) or does not offer the subcommand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/management/FakeMgmtServer.h"
#include "tests/support/TempRoot.h"

using mgmt_test::FakeMgmtServer;
using mgmt_test::GetPki;
using mgmt_test::Pki;
using mgmt_test::UnusedLoopbackPort;
using mgmt_test::JsonReply;
using mgmt_test::ParseJson;
using mgmt_test::ReadFile;
using mgmt_test::Route;
using mgmt_test::Scenario;
using mgmt_test::V2Reply;

namespace {

// A password with a blank and a quote, to show it arrives byte for byte.
const char kPassword[] = "pa ss\"word";

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the program with stdin from `stdinPath`; killed after 60 s.
RunResult RunProgram(const std::vector<std::string>& args, const std::string& dir,
                     const std::string& stdinPath = "/dev/null")
{
    std::string line = "timeout -s KILL 60";
    for (const std::string& a : args) {
        line += " '";
        for (char c : a) {
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += "'";
    }
    line += " <'" + stdinPath + "' >'" + dir + "/out.txt' 2>'" + dir + "/err.txt'";
    const int status = std::system(line.c_str());
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(dir + "/out.txt");
    r.err = ReadFile(dir + "/err.txt");
    return r;
}

class PairCheckCliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_bin = DM_DATAMOVER_PROGRAM;
        if (::access(m_bin.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "datamover is not built at " << m_bin;
        }
        RunResult help = RunProgram({m_bin, "--root", m_dir, "--help"}, m_dir);
        if (help.out.find("pair-check") == std::string::npos) {
            GTEST_SKIP() << "this datamover has no pair-check subcommand";
        }
        ASSERT_TRUE(GetPki().ok) << GetPki().error;

        Json::Value cred;
        cred["user_name"] = "admin";
        cred["password"] = kPassword;
        Json::Value token;
        token["x_auth_token"] = "cli-token";
        Json::Value clusters = JsonReply(ParseJson("{\"result\":0,\"serviceCmdData\":[{\"controlClusterId\":1}]}"));
        Json::Value normal = JsonReply(ParseJson("{\"result\":0,\"serviceCmdData\":[{\"runningStatus\":\"NORMAL\"}]}"));
        Json::Value split = JsonReply(ParseJson("{\"result\":0,\"serviceCmdData\":[{\"runningStatus\":\"SPLIT\"}]}"));
        m_server = std::make_unique<FakeMgmtServer>(
            GetPki().goodCert, GetPki().goodKey,
            Scenario({Route("POST", "/api/v2/aa/sessions", V2Reply(0, "ok", token), cred),
                      Route("POST", "/api/v2/aa/sessions", JsonReply(ParseJson("{\"error\":\"bad credentials\"}"), 401)),
                      Route("DELETE", "/api/v2/aa/sessions", V2Reply(0, "ok")),
                      Route("POST", "/strata/service/serviceCmd", clusters,
                            ParseJson("{\"subOp\":\"queryControlCluster\"}")),
                      Route("POST", "/strata/service/serviceCmd", normal,
                            ParseJson("{\"subOp\":\"GetBatchBiplexPair\",\"localObjName\":\"vol-a\"}")),
                      Route("POST", "/strata/service/serviceCmd", split,
                            ParseJson("{\"subOp\":\"GetBatchBiplexPair\"}"))}));
        ASSERT_TRUE(m_server->Started()) << m_server->Error();
        m_passwordFile = Secret("password", kPassword);
    }
    // A password file only its owner may read.
    std::string Secret(const std::string& name, const std::string& text)
    {
        const std::string path = m_root.MakeFile(name, text + "\n");
        ::chmod(path.c_str(), 0600);
        return path;
    }

    // The manager address defaults to the stand-in's, the CA file to the trusted one.
    std::vector<std::string> Args(const std::string& local, const std::string& passwordFile, bool json = false,
                                  std::string mgr = "", std::string caFile = "")
    {
        mgr = mgr.empty() ? "127.0.0.1:" + m_server->PortText() : mgr;
        caFile = caFile.empty() ? GetPki().caFile : caFile;
        std::vector<std::string> a = {m_bin, "--root", m_dir};
        if (json) {
            a.push_back("--json");
        }
        a.insert(a.end(), {"pair-check", "--mgr", mgr, "--user", "admin", "--password-file", passwordFile, "--local",
                           local, "--remote", "vol-b", "--ca-file", caFile});
        return a;
    }

    std::string m_bin;
    testroot::TempRoot m_root;  // removed with the program's files at the end
    const std::string m_dir = m_root.Path();
    std::string m_passwordFile;
    std::unique_ptr<FakeMgmtServer> m_server;
};

TEST_F(PairCheckCliTest, NormalPairExitsZeroAndAbnormalExitsOneWithTheReason)
{
    RunResult ok = RunProgram(Args("vol-a", m_passwordFile), m_dir);
    EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("normal"), std::string::npos) << ok.out;
    EXPECT_EQ(ok.out.find("not normal"), std::string::npos) << ok.out;

    RunResult bad = RunProgram(Args("vol-x", m_passwordFile, true), m_dir);
    EXPECT_EQ(bad.exitCode, 1) << bad.out << bad.err;
    Json::Value doc = ParseJson(bad.out);
    EXPECT_FALSE(doc["normal"].asBool());
    EXPECT_EQ(doc["reason"].asString(), "Abnormal status: SPLIT");

    // Each run logged in with the file's password and logged out again.
    auto logins = m_server->Requests("POST", "/api/v2/aa/sessions");
    EXPECT_EQ(logins.size(), 2u);
    for (const auto& r : logins) {
        EXPECT_EQ(ParseJson(r["body"].asString())["password"].asString(), kPassword);
    }
    auto logouts = m_server->Requests("DELETE", "/api/v2/aa/sessions");
    EXPECT_EQ(logouts.size(), 2u);
    for (const auto& r : logouts) {
        EXPECT_EQ(r["headers"]["X-Auth-Token"].asString(), "cli-token");
    }
}

TEST_F(PairCheckCliTest, PasswordFromStandardInputAndBadArguments)
{
    RunResult fromStdin = RunProgram(Args("vol-a", "-"), m_dir, m_passwordFile);
    EXPECT_EQ(fromStdin.exitCode, 0) << fromStdin.out << fromStdin.err;

    // No way to give the password itself on the command line.
    std::vector<std::string> withPassword = Args("vol-a", m_passwordFile);
    withPassword.push_back("--password");
    withPassword.push_back(kPassword);
    EXPECT_EQ(RunProgram(withPassword, m_dir).exitCode, 2);

    const std::string empty = m_root.MakeFile("empty", "");
    RunResult e = RunProgram(Args("vol-a", empty), m_dir);
    EXPECT_EQ(e.exitCode, 2);
    EXPECT_NE(e.err.find("empty"), std::string::npos) << e.err;

    EXPECT_EQ(RunProgram(Args("vol-a", m_passwordFile, false, "127.0.0.1/evil:443"), m_dir).exitCode, 2);

    // Only the stdin run reached the service.
    EXPECT_EQ(m_server->Requests("POST", "/api/v2/aa/sessions").size(), 1u);
}

// A check that could not be made is an error with its cause, never a verdict
// of "not normal"; refused certificates and credentials are not retried.
TEST_F(PairCheckCliTest, ACheckThatCannotBeMadeSaysWhyAndIsNoVerdict)
{
    const Pki& pki = GetPki(true);
    ASSERT_TRUE(pki.ok) << pki.error;
    const std::string wrongPassword = Secret("wrong", "not-the-password");
    struct Case {
        const char* name;
        std::string password, port, caFile;
        const char* says;
        int exit;
    };
    const std::string port = m_server->PortText();
    const std::vector<Case> cases = {
        {"wrong password", wrongPassword, port, pki.caFile, "wrong user name or password", 1},
        {"untrusted issuer", m_passwordFile, port, pki.otherCaFile, "certificate was refused", 1},
        {"nothing listens", m_passwordFile, std::to_string(UnusedLoopbackPort()), pki.caFile, "cannot log in", 1},
        {"unreadable CA file", m_passwordFile, port, m_dir + "/no-such-ca.pem", "cannot read --ca-file", 2},
    };
    // Retries of an unreachable service pause 5 s each; shortened here.
    ::setenv("DATAMOVER_PAUSE_DIVISOR", "1000", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = m_server->Requests().size();
        RunResult r = RunProgram(Args("vol-a", c.password, true, "127.0.0.1:" + c.port, c.caFile), m_dir);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        Json::Value doc = ParseJson(r.out);
        EXPECT_FALSE(doc["ok"].asBool()) << r.out;
        EXPECT_FALSE(doc.isMember("normal")) << "a failed check gave a verdict: " << r.out;
        EXPECT_NE(doc["error"]["message"].asString().find(c.says), std::string::npos) << r.out;
        // At most one login reached the service: nothing refused was tried again.
        EXPECT_LE(m_server->Requests().size() - before, 1u) << c.name;
    }
    ::unsetenv("DATAMOVER_PAUSE_DIVISOR");
}

}  // namespace
