// The management REST client against the loopback HTTPS stand-in: login and
// token, both reply dialects, the pair check, re-login after a 401, and the
// retry budget when the service is unreachable or its certificate is refused.
#include <gtest/gtest.h>

#include "foundation/JsonUtils.h"
#include "host/IHttpClient.h"
#include "host/testing/Fakes.h"
#include "management/QSRestApi.h"
#include "tests/management/FakeMgmtServer.h"

using mgmt_test::FakeMgmtServer;
using mgmt_test::GetPki;
using mgmt_test::JsonReply;
using mgmt_test::ParseJson;
using mgmt_test::Route;
using mgmt_test::Scenario;
using mgmt_test::V2Reply;

namespace {

const char kSessions[] = "/api/v2/aa/sessions";
const char kServiceCmd[] = "/strata/service/serviceCmd";
const char kUser[] = "admin";
const char kPassword[] = "S3cret\"pw";

Json::Value TokenData(const std::string& token)
{
    Json::Value d;
    d["x_auth_token"] = token;
    return d;
}

Json::Value LoginRoute(const std::vector<std::string>& tokens)
{
    Json::Value rs(Json::arrayValue);
    for (const auto& t : tokens) {
        rs.append(V2Reply(0, "success", TokenData(t)));
    }
    return Route("POST", kSessions, rs);
}

Json::Value LogoutRoute()
{
    return Route("DELETE", kSessions, V2Reply(0, "success"));
}

Json::Value BodyHas(const std::string& subOp, const std::string& clusterId = "")
{
    Json::Value b;
    b["subOp"] = subOp;
    if (!clusterId.empty()) {
        b["controlClusterId"] = clusterId;
    }
    return b;
}

// A service-command reply with result 0.
Json::Value CmdData(const Json::Value& serviceCmdData)
{
    Json::Value body;
    body["result"] = 0;
    body["serviceCmdData"] = serviceCmdData;
    return JsonReply(body);
}

Json::Value Clusters(const std::string& jsonArray)
{
    return Route("POST", kServiceCmd, CmdData(ParseJson(jsonArray)), BodyHas("queryControlCluster"));
}

Json::Value PairStatus(const std::string& clusterId, const std::string& status)
{
    Json::Value data(Json::arrayValue);
    Json::Value item;
    item["runningStatus"] = status;
    item["localObjName"] = "lun_a";
    data.append(item);
    return Route("POST", kServiceCmd, CmdData(data), BodyHas("GetBatchBiplexPair", clusterId));
}

// Cases that need no server and so no certificates.
class QSRestApiOfflineTest : public ::testing::Test {
protected:
    std::unique_ptr<QSRestApi> Api(const std::string& port)
    {
        auto api = std::make_unique<QSRestApi>("127.0.0.1", port, kUser, kPassword);
        EXPECT_TRUE(api->Init());
        return api;
    }

    testing_fakes::VirtualClock m_clock;
    testing_fakes::ConfigOverride m_config;
    testing_fakes::LogCapture m_log;
};

class QSRestApiTest : public QSRestApiOfflineTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(GetPki().ok) << GetPki().error;
        m_config.Set("General", "HttpsCaFile", GetPki().caFile);
    }

    // Starts the stand-in as m_server, with the trusted certificate unless given another.
    void Start(const Json::Value& scenario, const std::string& cert = GetPki().goodCert,
               const std::string& key = GetPki().goodKey)
    {
        m_server = std::make_unique<FakeMgmtServer>(cert, key, scenario);
        ASSERT_TRUE(m_server->Started()) << m_server->Error();
    }

    std::unique_ptr<FakeMgmtServer> m_server;
};

TEST_F(QSRestApiTest, LoginStoresTheTokenAndEveryLaterRequestCarriesIt)
{
    // An element without an id is skipped; the order is kept.
    ASSERT_NO_FATAL_FAILURE(Start(Scenario({LoginRoute({"tok-1"}), LogoutRoute(),
                                            Clusters("[{\"controlClusterId\": 1, \"name\": \"a\"}, {\"name\": \"b\"},"
                                                     " {\"controlClusterId\": \"3\"}]")})));
    {
        auto api = Api(m_server->PortText());
        ASSERT_TRUE(api->Login());
        EXPECT_EQ(api->Token(), "tok-1");
        std::vector<int32_t> ids;
        std::string errDes;
        ASSERT_TRUE(api->GetAllCtrlClusterIds(ids, errDes)) << errDes;
        EXPECT_EQ(ids, std::vector<int32_t>({1, 3}));
        EXPECT_TRUE(m_log.Contains("Exit : size: 3", 2));
    }  // the destructor logs out

    auto reqs = m_server->Requests();
    ASSERT_EQ(reqs.size(), 3u);
    // The login: credentials in the body, the fixed header set, no token yet.
    EXPECT_EQ(reqs[0]["method"].asString(), "POST");
    EXPECT_EQ(reqs[0]["path"].asString(), kSessions);
    Json::Value login = ParseJson(reqs[0]["body"].asString());
    EXPECT_EQ(login["user_name"].asString(), kUser);
    EXPECT_EQ(login["password"].asString(), kPassword);
    const Json::Value& h = reqs[0]["headers"];
    EXPECT_EQ(h["Accept"].asString(), "application/json");
    EXPECT_NE(h["Accept-Encoding"].asString().find("gzip"), std::string::npos);
    EXPECT_EQ(h["Accept-Language"].asString(), "en");
    EXPECT_EQ(h["Cache-Control"].asString(), "no-cache");
    EXPECT_EQ(h["Connection"].asString(), "keep-alive");
    EXPECT_EQ(h["Content-Type"].asString(), "application/json");
    EXPECT_TRUE(h.isMember("X-Auth-Token"));
    EXPECT_EQ(h["X-Auth-Token"].asString(), "");
    // Later requests carry the token (the renewal test follows it request by
    // request); the logout sends a null body; one connection for all three.
    EXPECT_EQ(reqs[1]["headers"]["X-Auth-Token"].asString(), "tok-1");
    EXPECT_EQ(reqs[2]["body"].asString(), "null");
    EXPECT_EQ(reqs[2]["nth_on_connection"].asInt(), 3);
    EXPECT_EQ(m_clock.TotalSleptMicros(), 0u);
    // The password never reaches the log.
    EXPECT_EQ(m_log.Dump().find("S3cret"), std::string::npos);
}

// Results 1 (every detail logged, the last one's values kept) and 2 (the code
// as a decimal string) are answers, not failed attempts: no retries.
TEST_F(QSRestApiTest, ServiceCommandVerdictsAreAnswersNotRetried)
{
    Json::Value replies(Json::arrayValue);
    replies.append(JsonReply(ParseJson("{\"result\": 1, \"detail\": [{\"errorCode\": 1001, \"description\": \"first\"},"
                                       " {\"errorCode\": 1002, \"description\": \"second\"}]}")));
    replies.append(JsonReply(ParseJson("{\"result\": 2, \"errorCode\": \"1077949006\", \"description\": \"system busy\"}")));
    ASSERT_NO_FATAL_FAILURE(Start(Scenario({LoginRoute({"tok"}), LogoutRoute(),
                                            Route("POST", kServiceCmd, replies, BodyHas("queryControlCluster"))})));
    auto api = Api(m_server->PortText());
    std::vector<int32_t> ids;
    std::string errDes;
    EXPECT_FALSE(api->GetAllCtrlClusterIds(ids, errDes));
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(errDes, "second");
    EXPECT_TRUE(m_log.Contains("code : 1001, Describe : first", 4));
    EXPECT_TRUE(m_log.Contains("Get replication cluster info failed, errCode: 1002, errDes: second", 4));
    EXPECT_FALSE(api->GetAllCtrlClusterIds(ids, errDes));
    EXPECT_EQ(errDes, "system busy");
    EXPECT_TRUE(m_log.Contains("code : 1077949006, Describe : system busy", 4));
    EXPECT_EQ(m_clock.TotalSleptMicros(), 0u);
    EXPECT_EQ(m_server->Requests("POST", kServiceCmd).size(), 2u);
}

TEST_F(QSRestApiTest, PairNormalOnTheSecondClusterStopsThereAbnormalEverywhereGivesTheLastReason)
{
    ASSERT_NO_FATAL_FAILURE(Start(Scenario({LoginRoute({"tok"}), LogoutRoute(),
                                            Clusters("[{\"controlClusterId\": 11}, {\"controlClusterId\": 12},"
                                                     " {\"controlClusterId\": 13}]"),
                                            PairStatus("11", "SPLIT"), PairStatus("12", "NORMAL"),
                                            PairStatus("13", "NORMAL")})));
    auto api = Api(m_server->PortText());
    std::string errDes;
    EXPECT_TRUE(api->CheckBiplexPair("lun_a", "lun_b", errDes));

    auto reqs = m_server->Requests();
    ASSERT_EQ(reqs.size(), 4u);  // login, clusters, pair on 11, pair on 12
    Json::Value pair = ParseJson(reqs[3]["body"].asString());
    EXPECT_EQ(pair["controlClusterId"].asString(), "12");
    EXPECT_EQ(pair["id"].asString(), "0");
    EXPECT_EQ(pair["count"].asString(), "1");
    EXPECT_EQ(pair["serviceType"].asString(), "dr");
    EXPECT_EQ(pair["localObjName"].asString(), "lun_a");
    EXPECT_EQ(pair["remoteObjName"].asString(), "lun_b");

    // The token is kept: a second check does not log in again.
    EXPECT_TRUE(api->CheckBiplexPair("lun_a", "lun_b", errDes));
    EXPECT_EQ(m_server->Requests("POST", kSessions).size(), 1u);

    // Abnormal on every cluster: the last reason is the answer.
    m_log.Clear();
    m_server->SetScenario(Scenario({Clusters("[{\"controlClusterId\": 1}, {\"controlClusterId\": 2}]"),
                                    PairStatus("1", "SYNCHRONIZING"), PairStatus("2", "FAULT"), LogoutRoute()}));
    EXPECT_FALSE(api->CheckBiplexPair("lun_a", "lun_b", errDes));
    EXPECT_EQ(errDes, "Abnormal status: FAULT");
    EXPECT_TRUE(m_log.Contains("Check biplex pair failed: Abnormal status: FAULT", 4));
}

TEST_F(QSRestApiTest, PairReplyShapesThatAreNotAStatus)
{
    Json::Value noData = JsonReply(ParseJson("{\"result\": 0}"));
    ASSERT_NO_FATAL_FAILURE(Start(Scenario(
        {LoginRoute({"tok"}), LogoutRoute(), Clusters("[]"),
         Route("POST", kServiceCmd, CmdData(Json::Value(Json::arrayValue)), BodyHas("GetBatchBiplexPair", "1")),
         Route("POST", kServiceCmd, CmdData(ParseJson("[{\"healthStatus\": \"OK\"}]")),
               BodyHas("GetBatchBiplexPair", "2")),
         Route("POST", kServiceCmd, noData, BodyHas("GetBatchBiplexPair", "3")),
         Route("POST", kServiceCmd, JsonReply(ParseJson("{\"result\": 2, \"errorCode\": \"5\", \"description\": "
                                                        "\"no such pair\"}")),
               BodyHas("GetBatchBiplexPair", "4"))})));
    auto api = Api(m_server->PortText());
    ASSERT_TRUE(api->Login());
    std::string errDes;
    EXPECT_FALSE(api->CheckLUNPairStatus(1, "a", "b", errDes));
    EXPECT_EQ(errDes, "The serviceCmdData is empty.");
    EXPECT_FALSE(api->CheckLUNPairStatus(2, "a", "b", errDes));
    EXPECT_EQ(errDes, "The runningStatus isn't found.");
    EXPECT_FALSE(api->CheckLUNPairStatus(3, "a", "b", errDes));
    EXPECT_EQ(errDes, "The response does not contain the serviceCmdData field.");
    EXPECT_FALSE(api->CheckLUNPairStatus(4, "a", "b", errDes));
    EXPECT_EQ(errDes, "Failed to send the request, errCode: 5, reason: no such pair");

    // No cluster at all: the pair cannot be normal.
    EXPECT_FALSE(api->CheckBiplexPair("a", "b", errDes));
    EXPECT_FALSE(errDes.empty());
}

TEST_F(QSRestApiTest, ExpiredTokenIsRenewedOnceAndTheRequestSucceeds)
{
    Json::Value clusters = CmdData(ParseJson("[{\"controlClusterId\": 5}]"));
    clusters["require_token"] = "tok-2";
    ASSERT_NO_FATAL_FAILURE(Start(Scenario({LoginRoute({"tok-1", "tok-2"}), LogoutRoute(),
                                            Route("POST", kServiceCmd, clusters, BodyHas("queryControlCluster")),
                                            PairStatus("5", "NORMAL")})));
    auto api = Api(m_server->PortText());
    std::string errDes;
    ASSERT_TRUE(api->CheckBiplexPair("lun_a", "lun_b", errDes)) << errDes;
    EXPECT_EQ(api->Token(), "tok-2");
    EXPECT_EQ(m_log.Count("Unauthorized rest, need re-login", 3), 1u);
    EXPECT_TRUE(m_log.Contains("send failed. Retry 1 time. url=https://127.0.0.1:" + m_server->PortText() + kServiceCmd, 3));
    EXPECT_EQ(m_clock.TotalSleptMicros(), 5000000u);

    auto reqs = m_server->Requests();
    ASSERT_EQ(reqs.size(), 6u);
    const char* expected[][3] = {
        {"POST", kSessions, ""},        {"POST", kServiceCmd, "tok-1"}, {"DELETE", kSessions, "tok-1"},
        {"POST", kSessions, "tok-1"},   {"POST", kServiceCmd, "tok-2"}, {"POST", kServiceCmd, "tok-2"},
    };
    for (size_t i = 0; i < reqs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reqs[i]["method"].asString(), expected[i][0]);
        EXPECT_EQ(reqs[i]["path"].asString(), expected[i][1]);
        EXPECT_EQ(reqs[i]["headers"]["X-Auth-Token"].asString(), expected[i][2]);
    }
}

// Every service command answers 401 after the first login. Whether re-logins
// still succeed or the credentials were revoked, the whole request, re-login
// sends included, stays within 11 sends and 50 s: each 401 with room left
// costs one logout and one login send, and the last three tries go without.
TEST_F(QSRestApiTest, PersistentUnauthorizedStaysWithinTheRequestBudget)
{
    Json::Value unauthorized = JsonReply(ParseJson("{\"error\": \"expired\"}"), 401);
    struct Case {
        const char* name;
        bool credentialsRevoked;
    } cases[] = {{"logins still succeed", false}, {"credentials revoked", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value logins(Json::arrayValue);
        logins.append(V2Reply(0, "success", TokenData("tok")));
        logins.append(c.credentialsRevoked ? unauthorized : V2Reply(0, "success", TokenData("tok")));
        Json::Value never = CmdData(ParseJson("[]"));
        never["require_token"] = "never-issued";
        ASSERT_NO_FATAL_FAILURE(Start(Scenario({Route("POST", kSessions, logins), Route("DELETE", kSessions, unauthorized),
                                                Route("POST", kServiceCmd, never, BodyHas("queryControlCluster"))})));
        auto api = Api(m_server->PortText());
        ASSERT_TRUE(api->Login());
        const uint64_t sleptBefore = m_clock.TotalSleptMicros();
        std::vector<int32_t> ids;
        std::string errDes;
        EXPECT_FALSE(api->GetAllCtrlClusterIds(ids, errDes));

        auto reqs = m_server->Requests();
        ASSERT_GE(reqs.size(), 1u);
        EXPECT_LE(reqs.size() - 1, static_cast<size_t>(QSRestApi::MAX_SEND_TIMES));
        EXPECT_EQ(m_server->Requests("POST", kServiceCmd).size(), 5u);
        EXPECT_EQ(m_server->Requests("DELETE", kSessions).size(), 3u);
        EXPECT_EQ(m_server->Requests("POST", kSessions).size(), 1u + 3u);
        EXPECT_EQ(m_clock.TotalSleptMicros() - sleptBefore, 4u * 5000000u);
        EXPECT_TRUE(m_log.Contains("Get replication cluster info failed, errCode: 0, errDes: HTTP 401 Unauthorized", 4));
        api.reset();  // its logout goes to this server, not the next one
    }
}

TEST_F(QSRestApiOfflineTest, NothingListeningCostsElevenAttemptsAndFiftySeconds)
{
    int port = mgmt_test::UnusedLoopbackPort();
    ASSERT_GT(port, 0);
    {
        auto api = Api(std::to_string(port));
        EXPECT_FALSE(api->Login());
        EXPECT_TRUE(api->Token().empty());
    }  // no session, so the destructor sends nothing
    EXPECT_EQ(m_log.Count("try send request, times is  ", 1), 11u);
    EXPECT_EQ(m_log.Count("network error or system busy: errorCode: 200000", 3), 11u);
    EXPECT_EQ(m_clock.SleepsSeconds(), std::vector<uint64_t>(10, 5));
    EXPECT_EQ(m_log.Count("Exit ", 4), 1u);
}

// A certificate for another host name. Every refusal (untrusted issuer,
// expiry, host name) comes back as the same transport code, so this one stands
// for the classification; the HTTPS client tests show the issuer check is on.
TEST_F(QSRestApiTest, RefusedCertificateNeverReachesTheService)
{
    ASSERT_TRUE(GetPki(true).ok) << GetPki().error;
    ASSERT_NO_FATAL_FAILURE(
        Start(Scenario({LoginRoute({"tok"}), LogoutRoute()}), GetPki().wrongHostCert, GetPki().wrongHostKey));
    auto api = Api(m_server->PortText());
    std::string errDes;
    EXPECT_FALSE(api->CheckBiplexPair("a", "b", errDes));
    EXPECT_EQ(errDes, "Login qsm failed.");
    // Refused once, never tried again: the answer would not change.
    EXPECT_EQ(m_log.Count("Send http request occur network error.", 4), 1u);
    EXPECT_TRUE(m_log.Contains("The server's certificate was refused, not retried", 4));
    EXPECT_EQ(m_clock.TotalSleptMicros(), 0u);
    EXPECT_NE(api->LastFailure().find("SSL"), std::string::npos) << api->LastFailure();
    EXPECT_TRUE(m_server->Requests().empty());
}

TEST_F(QSRestApiOfflineTest, WithoutAClientNothingIsSent)
{
    struct NullProvider : IHttpClient::Provider {
        IHttpClient* Acquire() override { return nullptr; }
        void Release(IHttpClient*) override {}
    } provider;
    IHttpClient::Provider* old = IHttpClient::SetProvider(&provider);
    {
        QSRestApi api("127.0.0.1", "1", kUser, kPassword);
        EXPECT_FALSE(api.Init());
        EXPECT_TRUE(m_log.Contains("m_httpClient is null.", 4));
        std::string errDes;
        EXPECT_FALSE(api.CheckBiplexPair("a", "b", errDes));
        EXPECT_TRUE(m_log.Contains("m_httpClient is nullptr.", 4));
    }
    // Taking the provider away gives the shared client back.
    EXPECT_EQ(IHttpClient::SetProvider(old), &provider);
    IHttpClient* shared = IHttpClient::GetInstance();
    EXPECT_NE(shared, nullptr);
    IHttpClient::ReleaseInstance(shared);
    EXPECT_EQ(m_clock.TotalSleptMicros(), 0u);
}

// The parsers on their own: malformed replies never pass for good ones.
class ParseBodyTest : public ::testing::Test {
protected:
    QSRestApi m_api{"127.0.0.1", "443", "u", "p"};
    Json::Value m_rsp;
    std::string m_errDes;
    int32_t m_errCode = 0;
    testing_fakes::LogCapture m_log;
};

// Both dialects: what each reply shape yields, malformed ones never passing
// for a good answer. errCode starts at 0 (the callers' convention); success
// sets it to 0 whatever it held and hands on "data" (version 2) or the whole
// body (service command).
TEST_F(ParseBodyTest, BothDialects)
{
    const char* kFormat = "Json object format is error. ";
    const char* kParse = "Parse json string failed";
    const struct {
        bool v2;
        const char* body;
        int32_t rc;
        const char* errDes;
        int32_t errCode;
        const char* log;  // on success: the response handed on
    } cases[] = {
        {true, "{\"result\":{\"code\":0,\"description\":\"ok\"},\"data\":{\"k\":1}}", 0, "ok", 0, "{\"k\":1}"},
        {true, "not json", -1, kParse, 0, "Parse json string failed."},
        {true, "{}", -1, kFormat, 0, "Json object error. "},
        {true, "[]", -1, kFormat, 0, "Json object error. "},
        {true, "{\"result\":{\"code\":0}}", -1, kFormat, 0, "Json object error. "},
        {true, "{\"result\":{\"description\":\"x\"}}", -1, kFormat, 0, "Json object error. "},
        {true, "{\"result\":0}", -1, kFormat, 0, "Json object error. "},
        {true, "{\"result\":{\"code\":\"zero\",\"description\":\"x\"}}", -1, kFormat, 0, "Json object error. "},
        {true, "{\"result\":{\"code\":1.5,\"description\":\"x\"}}", -1, kFormat, 0, "Json object error. "},
        {true, "{\"result\":{\"code\":1077949006,\"description\":\"busy\"}}", -1, "busy", 1077949006,
         "code : 1077949006, Describe : busy"},
        {false, "{}", -1, kFormat, 0, "Json object error."},
        {false, "{\"result\":\"0\"}", -1, kFormat, 0, "Json object error."},
        {false, "{\"result\":null}", -1, kFormat, 0, "Json object error."},
        {false, "[1]", -1, kFormat, 0, "Json object error."},
        {false, "{\"result\":", -1, kParse, 0, "Parse json string failed."},
        // A "result" 2 whose code is not a number still fails, with a non-zero code.
        {false, "{\"result\":2,\"errorCode\":\"12ab\",\"description\":\"d\"}", -1, "d", -1, "code : -1, Describe : d"},
        {false, "{\"result\":2,\"errorCode\":\"-7\",\"description\":\"neg\"}", -1, "neg", -7, "code : -7, Describe : neg"},
        {false, "{\"result\":3,\"serviceCmdData\":[1]}", 0, "", 0, "{\"result\":3,\"serviceCmdData\":[1]}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.body).substr(0, 80));
        m_log.Clear();
        m_rsp = Json::Value();
        m_errDes = "old";
        m_errCode = c.rc == 0 ? 9 : 0;
        int32_t rc = c.v2 ? m_api.ParseBodyV2(c.body, m_rsp, m_errDes, m_errCode)
                          : m_api.ParseBodyV1(c.body, m_rsp, m_errDes, m_errCode);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(m_errDes, c.errDes);
        EXPECT_EQ(m_errCode, c.errCode);
        if (c.rc == 0) {
            EXPECT_EQ(CJsonUtils::JsonToString(m_rsp), c.log);
        } else {
            EXPECT_TRUE(m_log.Contains(c.log, 4)) << m_log.Dump();
        }
    }
}

TEST_F(QSRestApiTest, UnreadableSuccessReplyIsNotALogin)
{
    // 200 with a body that is not the version-2 shape: no token, no "Login ok.".
    Json::Value raw;
    raw["status"] = 200;
    raw["raw"] = "<html>maintenance</html>";
    ASSERT_NO_FATAL_FAILURE(Start(Scenario({Route("POST", kSessions, raw)})));
    auto api = Api(m_server->PortText());
    EXPECT_FALSE(api->Login());
    EXPECT_TRUE(api->Token().empty());
    EXPECT_TRUE(m_log.Contains("Login failed, errCode: -1, errDes: Parse json string failed", 4));

    // Code 0 but no token in "data": also not a login.
    m_server->SetScenario(Scenario({Route("POST", kSessions, V2Reply(0, "ok", ParseJson("{\"other\":1}")))}));
    EXPECT_FALSE(api->Login());
    EXPECT_TRUE(api->Token().empty());
}

}  // namespace
