// The host's HTTPS client against the loopback stand-in: what goes on the wire,
// what comes back, and which certificates are refused.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <set>
#include <thread>

#include "host/IHttpClient.h"
#include "host/testing/Fakes.h"
#include "tests/management/FakeMgmtServer.h"

using mgmt_test::FakeMgmtServer;
using mgmt_test::GetPki;
using mgmt_test::JsonReply;
using mgmt_test::Route;
using mgmt_test::Scenario;

namespace {

class HttpsClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(GetPki().ok) << GetPki().error;
        m_config.Set("General", "HttpsCaFile", GetPki().caFile);
        m_client = IHttpClient::GetInstance();
        ASSERT_NE(m_client, nullptr);
        m_server = std::make_unique<FakeMgmtServer>(GetPki().goodCert, GetPki().goodKey, EchoScenario());
        ASSERT_TRUE(m_server->Started()) << m_server->Error();
    }
    void TearDown() override { IHttpClient::ReleaseInstance(m_client); }

    static Json::Value EchoScenario()
    {
        Json::Value ok;
        ok["answer"] = 42;
        Json::Value big;
        big["text"] = std::string(20000, 'x');
        Json::Value gz = JsonReply(big);
        gz["gzip"] = true;
        Json::Value drop;
        drop["drop"] = true;
        return Scenario({Route("POST", "/echo", JsonReply(ok)), Route("DELETE", "/echo", JsonReply(ok, 204)),
                         Route("GET", "/big", gz), Route("GET", "/drop", drop)});
    }

    std::string Url(const std::string& path) const { return "https://127.0.0.1:" + m_server->PortText() + path; }

    HttpRequest Post(const std::string& url, const std::string& body)
    {
        HttpRequest r;
        r.method = "POST";
        r.url = url;
        r.body = body;
        r.headers.insert({"Content-Type", "application/json"});
        return r;
    }

    testing_fakes::ConfigOverride m_config;
    testing_fakes::LogCapture m_log;
    IHttpClient* m_client = nullptr;
    std::unique_ptr<FakeMgmtServer> m_server;  // answers EchoScenario()
};

// What comes back: status and body, the HTTP error text, a compressed body
// unpacked, a dropped connection as a network error. What goes out (the
// header set, an empty token, one connection per session) the REST client
// tests read off the wire.
TEST_F(HttpsClientTest, StatusBodiesHttpErrorsAndDroppedConnections)
{
    const struct {
        const char* method;
        const char* path;
        int status;  // 0: a network error
        const char* errorText;
        const char* key;  // a member of the JSON body, with its value
        Json::Value value;
    } cases[] = {
        {"POST", "/echo", 200, "", "answer", 42},
        {"GET", "/nowhere", 404, "HTTP 404 Not Found", nullptr, {}},
        {"GET", "/big", 200, "", "text", std::string(20000, 'x')},
        {"GET", "/drop", 0, "", nullptr, {}},
        {"DELETE", "/echo", 204, "", nullptr, {}},  // last: the stand-in sends a body with its 204
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        HttpRequest req = Post(Url(c.path), std::string(c.method) == "GET" ? "" : "{\"a\":1}");
        req.method = c.method;
        req.headers.insert({"Accept-Encoding", "gzip"});
        auto rsp = m_client->SendRequest(req, 10);
        ASSERT_TRUE(rsp);
        EXPECT_EQ(rsp->GetStatusCode(), c.status);
        EXPECT_EQ(rsp->IsSuccess(), c.status / 100 == 2);
        EXPECT_EQ(rsp->IsNetworkError() != 0, c.status == 0);
        EXPECT_EQ(rsp->GetNetworkErrorText().empty(), c.status != 0);
        if (c.status >= 400) {
            EXPECT_EQ(rsp->GetHttpErrorText(), c.errorText);
        }
        if (c.key != nullptr) {
            EXPECT_EQ(mgmt_test::ParseJson(rsp->GetBody())[c.key], c.value);
        }
    }
}

TEST_F(HttpsClientTest, LineBreaksInHeadersOrMethodAreRefusedBeforeSending)
{
    HttpRequest header = Post(Url("/echo"), "{}");
    header.headers.insert({"X-Auth-Token", "abc\r\nX-Admin: yes"});
    HttpRequest method = Post(Url("/echo"), "{}");
    method.method = "POST /x HTTP/1.1\r\n";
    HttpRequest colon = Post(Url("/echo"), "{}");
    colon.headers.insert({"Bad:Name", "v"});
    for (const HttpRequest* req : {&header, &method, &colon}) {
        auto rsp = m_client->SendRequest(*req, 10);
        ASSERT_TRUE(rsp);
        EXPECT_FALSE(rsp->IsSuccess());
        EXPECT_NE(rsp->IsNetworkError(), 0);
    }
    EXPECT_TRUE(m_server->Requests().empty());
}

// Read at every request: trusting only another CA, the system bundle, a
// missing CA file and any verification switch but an explicit 0 all refuse.
TEST_F(HttpsClientTest, CaFileAndVerificationSwitchApplyToTheNextRequest)
{
    ASSERT_TRUE(GetPki(true).ok) << GetPki().error;
    const struct {
        std::string caFile;
        const char* verify;
        bool ok;
    } cases[] = {
        {GetPki().otherCaFile, "1", false},
        {"", "1", false},
        {GetPki().dir + "/no-such-ca.pem", "1", false},
        {GetPki().dir + "/no-such-ca.pem", "off", false},
        {GetPki().dir + "/no-such-ca.pem", "0", true},
        {GetPki().caFile, "1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caFile + " verify=" + c.verify);
        m_log.Clear();
        m_config.Set("General", "HttpsCaFile", c.caFile).Set("General", "HttpsVerifyPeer", c.verify);
        auto rsp = m_client->SendRequest(Post(Url("/echo"), "{}"), 10);
        ASSERT_TRUE(rsp);
        EXPECT_EQ(rsp->IsSuccess(), c.ok);
        EXPECT_EQ(rsp->IsNetworkError() != 0, !c.ok);
        EXPECT_EQ(m_log.Count("verification is turned off", 3), std::string(c.verify) == "0" ? 1u : 0u);
    }
    EXPECT_EQ(m_server->Requests().size(), 2u);
}

TEST_F(HttpsClientTest, TimeOutIsInSeconds)
{
    // A peer that accepts the TCP connection (the kernel does) but never speaks TLS.
    int fd = -1;
    const int port = mgmt_test::BindLoopback(fd);
    ASSERT_GT(port, 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    std::string url = "https://127.0.0.1:" + std::to_string(port) + "/echo";

    auto start = std::chrono::steady_clock::now();
    auto rsp = m_client->SendRequest(Post(url, "{}"), 1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->IsNetworkError(), 28);  // CURLE_OPERATION_TIMEDOUT
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 5000);
}

TEST_F(HttpsClientTest, ConcurrentRequestsShareTheClient)
{
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                auto rsp = m_client->SendRequest(Post(Url("/echo"), "{}"), 10);
                if (rsp && rsp->IsSuccess()) {
                    ++ok;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(ok.load(), 20);
    auto reqs = m_server->Requests();
    EXPECT_EQ(reqs.size(), 20u);
    // Connections were reused: far fewer connections than requests.
    std::set<int> ports;
    for (const auto& r : reqs) {
        ports.insert(r["peer_port"].asInt());
    }
    EXPECT_LE(ports.size(), 4u);
}

// A provider in place of the shared client: see the REST client's
// test without a client.
TEST(HttpClientInstance, SharedUntilTheLastRelease)
{
    IHttpClient* a = IHttpClient::GetInstance();
    IHttpClient* b = IHttpClient::GetInstance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    IHttpClient::ReleaseInstance(a);
    IHttpClient::ReleaseInstance(b);
    IHttpClient::ReleaseInstance(nullptr);  // harmless
}

TEST(HttpRequestRecord, DestructorZeroesTheBody)
{
    // The body fits the string's inline buffer, so its bytes stay inside
    // storage this test owns and can be inspected after destruction.
    alignas(HttpRequest) unsigned char storage[sizeof(HttpRequest)];
    auto* req = new (storage) HttpRequest();
    req->body = "pw=Secret#1";
    ASSERT_LT(req->body.size(), 15u);
    const char* data = req->body.data();
    ASSERT_GE(data, reinterpret_cast<const char*>(storage));
    ASSERT_LT(data, reinterpret_cast<const char*>(storage + sizeof storage));
    size_t offset = static_cast<size_t>(data - reinterpret_cast<const char*>(storage));
    req->~HttpRequest();
    for (size_t i = 0; i < std::strlen("pw=Secret#1"); ++i) {
        EXPECT_EQ(storage[offset + i], 0) << "byte " << i;
    }
}

}  // namespace
