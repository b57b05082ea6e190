#include "tests/management/FakeMgmtServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/JsonUtils.h"

namespace mgmt_test {

namespace {

std::string MakeTempDir(const char* prefix)
{
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    return ::mkdtemp(&tmpl[0]) != nullptr ? tmpl : std::string();
}

void RemoveTree(const std::string& dir)
{
    std::error_code ec;
    if (dir.rfind("/tmp/", 0) == 0) {
        std::filesystem::remove_all(dir, ec);
    }
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// Runs shell lines in `dir`; stderr goes to dir/openssl.err for diagnosis.
bool Run(const std::string& dir, const std::vector<std::string>& lines, std::string& error)
{
    for (const std::string& line : lines) {
        if (std::system(("cd '" + dir + "' && " + line + " >/dev/null 2>>openssl.err").c_str()) != 0) {
            error = "failed: " + line + "\n" + ReadFile(dir + "/openssl.err");
            return false;
        }
    }
    return true;
}

const std::string kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ";
const char kGoodSan[] = "IP:127.0.0.1,DNS:localhost";

bool MakeCa(const std::string& dir, const std::string& name, const std::string& cn, std::string& error)
{
    return Run(dir,
               {"openssl req -x509" + kNewKey + name + ".key -out " + name + ".pem -days 3650 -subj '/CN=" + cn +
                "' -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'"},
               error);
}

// A server certificate for `cn`/`san` signed by `ca`.
bool MakeLeaf(const std::string& dir, const std::string& name, const std::string& cn, const std::string& san,
              const std::string& ca, std::string& error)
{
    const std::string ext = name + ".ext";
    if (!WriteFile(dir + "/" + ext, "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=serverAuth\nsubjectAltName=" + san + "\n")) {
        return false;
    }
    return Run(dir,
               {"openssl req -new" + kNewKey + name + ".key -out " + name + ".csr -subj '/CN=" + cn + "'",
                "openssl x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca +
                    ".key -CAcreateserial -days 365 -sha256 -extfile " + ext + " -out " + name + ".pem"},
               error);
}

struct PkiHolder {
    Pki pki;
    bool extrasTried = false;
    PkiHolder()
    {
        const std::string d = pki.dir = MakeTempDir("dm_qs_pki_");
        pki.caFile = d + "/ca.pem";
        pki.otherCaFile = d + "/otherca.pem";
        pki.goodCert = d + "/good.pem";
        pki.goodKey = d + "/good.key";
        pki.wrongHostCert = d + "/wronghost.pem";
        pki.wrongHostKey = d + "/wronghost.key";
        pki.error = d.empty() ? "mkdtemp failed" : "";
        pki.ok = !d.empty() && MakeCa(d, "ca", "Test Management CA", pki.error) &&
                 MakeLeaf(d, "good", "127.0.0.1", kGoodSan, "ca", pki.error);
    }
    // The certificates a client must refuse; made only by the tests that use them.
    void MakeExtras()
    {
        if (extrasTried || !pki.ok) {
            return;
        }
        extrasTried = true;
        const std::string& d = pki.dir;
        std::string& e = pki.error;
        pki.ok = MakeCa(d, "otherca", "Untrusted CA", e) &&
                 MakeLeaf(d, "wronghost", "wrong.example.invalid", "DNS:wrong.example.invalid,IP:127.0.0.2", "ca", e);
    }
    ~PkiHolder() { RemoveTree(pki.dir); }
};

}  // namespace

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const Pki& GetPki(bool withRefusedCerts)
{
    static PkiHolder holder;
    if (withRefusedCerts) {
        holder.MakeExtras();
    }
    return holder.pki;
}

FakeMgmtServer::FakeMgmtServer(const std::string& cert, const std::string& key, const Json::Value& scenario)
{
    m_dir = MakeTempDir("dm_qs_srv_");
    m_scenarioPath = m_dir + "/scenario.json";
    m_logPath = m_dir + "/requests.jsonl";
    int fds[2];
    if (m_dir.empty() || ::pipe2(fds, O_CLOEXEC) != 0) {
        m_error = "no directory or pipe";
        return;
    }
    SetScenario(scenario);
    const std::string script = DM_FAKE_MGMT_SERVER;
    const std::string errPath = m_dir + "/server.err";
    // The system interpreter starts fastest; version-manager shims on PATH can
    // cost a second or more per start.
    const char* env = std::getenv("DM_TEST_PYTHON");
    const std::string python = env ? env : ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // The server must never outlive the test process.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(fds[1], STDOUT_FILENO);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
        }
        ::execlp(python.c_str(), python.c_str(), script.c_str(), "--cert", cert.c_str(), "--key", key.c_str(), "--scenario",
                 m_scenarioPath.c_str(), "--log", m_logPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // Wait (bounded) for the "PORT <n>" line.
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (m_pid > 0 && got.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0) {
            break;
        }
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buf[64];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    m_port = got.compare(0, 5, "PORT ") == 0 ? std::atoi(got.c_str() + 5) : 0;
    if (m_port <= 0) {
        m_error = "server did not start: " + got + ReadFile(errPath);
        Stop();
    }
}

FakeMgmtServer::~FakeMgmtServer()
{
    Stop();
    RemoveTree(m_dir);
}

void FakeMgmtServer::Stop()
{
    // The server keeps nothing that needs a clean exit: its files go with m_dir.
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

void FakeMgmtServer::SetScenario(const Json::Value& scenario)
{
    // Written aside and renamed, so the server never reads half a file.
    WriteFile(m_scenarioPath + ".tmp", CJsonUtils::JsonToString(scenario));
    ::rename((m_scenarioPath + ".tmp").c_str(), m_scenarioPath.c_str());
}

std::vector<Json::Value> FakeMgmtServer::Requests() const
{
    std::vector<Json::Value> out;
    std::istringstream in(ReadFile(m_logPath));
    Json::Value v;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && CJsonUtils::StringToJson(line, v)) {
            out.push_back(v);
        }
    }
    return out;
}

std::vector<Json::Value> FakeMgmtServer::Requests(const std::string& method, const std::string& path) const
{
    std::vector<Json::Value> out;
    for (const Json::Value& r : Requests()) {
        if (r["method"].asString() == method && r["path"].asString() == path) {
            out.push_back(r);
        }
    }
    return out;
}

Json::Value Route(const std::string& method, const std::string& path, const Json::Value& responses,
                  const Json::Value& bodyHas)
{
    Json::Value r;
    r["method"] = method;
    r["path"] = path;
    if (responses.isArray()) {
        r["responses"] = responses;
    } else {
        r["responses"].append(responses);
    }
    if (!bodyHas.isNull()) {
        r["body_has"] = bodyHas;
    }
    return r;
}

Json::Value JsonReply(const Json::Value& body, int status)
{
    Json::Value r;
    r["status"] = status;
    r["json"] = body;
    return r;
}

Json::Value V2Reply(int code, const std::string& description, const Json::Value& data)
{
    Json::Value body;
    body["result"]["code"] = code;
    body["result"]["description"] = description;
    if (!data.isNull()) {
        body["data"] = data;
    }
    return JsonReply(body);
}

Json::Value Scenario(const std::vector<Json::Value>& routes)
{
    Json::Value s;
    s["routes"] = Json::Value(Json::arrayValue);
    for (const auto& r : routes) {
        s["routes"].append(r);
    }
    return s;
}

Json::Value ParseJson(const std::string& text)
{
    Json::Value v;
    CJsonUtils::StringToJson(text, v);
    return v;
}

int BindLoopback(int& fd)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

int UnusedLoopbackPort()
{
    int fd = -1;
    const int port = BindLoopback(fd);
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

}  // namespace mgmt_test
