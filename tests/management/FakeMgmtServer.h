// Test helpers: a throw-away PKI made with the openssl tool, and the scriptable
// HTTPS management stand-in (fake_mgmt_server.py) run as a child process on
// 127.0.0.1. The server is killed and its files removed when the object goes;
// the child also dies with the test process should that crash.
#pragma once
#include <json/json.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace mgmt_test {

// Certificates made once per test process in a temporary directory (removed at
// exit). The trusted CA and the good certificate always; the untrusted CA and
// the wrong-host certificate a client must refuse only when asked for.
struct Pki {
    std::string dir;
    std::string caFile;        // the CA the client trusts
    std::string otherCaFile;   // a CA the client does not trust (refused set)
    std::string goodCert, goodKey;          // 127.0.0.1 / localhost, by caFile
    std::string wrongHostCert, wrongHostKey;  // wrong.example.invalid, by caFile
    bool ok = false;
    std::string error;
};
const Pki& GetPki(bool withRefusedCerts = false);

class FakeMgmtServer {
public:
    // `scenario` is the server's scenario document (see fake_mgmt_server.py).
    FakeMgmtServer(const std::string& cert, const std::string& key, const Json::Value& scenario);
    ~FakeMgmtServer();
    FakeMgmtServer(const FakeMgmtServer&) = delete;
    FakeMgmtServer& operator=(const FakeMgmtServer&) = delete;

    bool Started() const { return m_port > 0; }
    const std::string& Error() const { return m_error; }
    std::string PortText() const { return std::to_string(m_port); }
    // Replaces the scenario; the server reads it at each request.
    void SetScenario(const Json::Value& scenario);
    // Every request received so far, in order (one JSON object each).
    std::vector<Json::Value> Requests() const;
    // Those of them with this method and path.
    std::vector<Json::Value> Requests(const std::string& method, const std::string& path) const;
private:
    void Stop();

    std::string m_dir;
    std::string m_scenarioPath;
    std::string m_logPath;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

// Scenario building blocks.
Json::Value Route(const std::string& method, const std::string& path, const Json::Value& responses,
                  const Json::Value& bodyHas = Json::Value());
Json::Value JsonReply(const Json::Value& body, int status = 200);
// A version-2 reply: {"result": {"code", "description"}, "data"}.
Json::Value V2Reply(int code, const std::string& description, const Json::Value& data = Json::Value());
Json::Value Scenario(const std::vector<Json::Value>& routes);
// Parses JSON text; aborts the test binary's expectations via an empty value on error.
Json::Value ParseJson(const std::string& text);

// The whole text of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);

// A loopback port on which nothing listens (bound, then closed).
int UnusedLoopbackPort();
// A socket bound to a free loopback port (left in fd); returns the port, 0 on failure.
int BindLoopback(int& fd);

}  // namespace mgmt_test
