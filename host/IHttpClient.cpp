#include "host/IHttpClient.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <new>
#include <strings.h>
#include <vector>

#include "host/ConfigReader.h"
#include "host/Logger.h"
#include "host/OruTSP.h"
#include "host/SecureMem.h"

#if __has_include(<curl/curl.h>)
#include <curl/curl.h>
#define DM_HAVE_CURL 1
#endif

namespace HttpClientConfig {
const char SECTION[] = "General";
const char KEY_CA_FILE[] = "HttpsCaFile";
const char KEY_VERIFY_PEER[] = "HttpsVerifyPeer";
const char DEFAULT_CA_FILE[] = "";
const char DEFAULT_VERIFY_PEER[] = "1";
}  // namespace HttpClientConfig

HttpRequest::~HttpRequest()
{
    // Three passes, as the management service's security rules ask for
    // password-bearing buffers; SecureWipe cannot be dropped as a dead store.
    for (int pass = 0; pass < 3; ++pass) {
        if (body.capacity() > 0) {
            SecureWipe(&body[0], body.capacity());
        }
    }
    body.clear();
}

namespace {

const char kModule[] = "HttpClient";
const uint32_t kDefaultTimeoutSec = 90;
// A management reply is a few KiB; a runaway body must not exhaust memory.
const size_t kMaxBodyBytes = 32u << 20;

void HostLog(int level, const char* function, int line, const std::string& text)
{
    CLogger* logger = CLogger::GetInstance();
    if (logger->GetLogLevel() <= level) {
        logger->LogEx(level, kModule, *OruTSP::get(TSP_RequestID), function, line, text);
    }
}

class HttpResponse final : public IHttpResponse {
public:
    bool IsSuccess() const override { return m_netError == 0 && m_status >= 200 && m_status < 300; }
    int32_t GetStatusCode() const override { return m_status; }
    std::string GetHttpErrorText() const override { return m_httpErrorText; }
    int32_t IsNetworkError() const override { return m_netError; }
    std::string GetNetworkErrorText() const override { return m_netErrorText; }
    std::string GetBody() const override { return m_body; }

    int32_t m_status = 0;
    std::string m_httpErrorText;
    int32_t m_netError = 0;
    std::string m_netErrorText;
    std::string m_body;
    std::string m_reason;  // reason phrase of the last status line
};

#ifdef DM_HAVE_CURL

std::string Trim(const std::string& s)
{
    const char* ws = " \t\r\n";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user)
{
    auto* rsp = static_cast<HttpResponse*>(user);
    size_t n = size * count;
    if (rsp->m_body.size() + n > kMaxBodyBytes) {
        return 0;  // makes libcurl fail the transfer with CURLE_WRITE_ERROR
    }
    rsp->m_body.append(data, n);
    return n;
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user)
{
    auto* rsp = static_cast<HttpResponse*>(user);
    size_t n = size * count;
    std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {
        // "HTTP/1.1 401 Unauthorized": every new status line (after a 100
        // Continue, say) replaces the previous one.
        rsp->m_reason.clear();
        size_t sp1 = line.find(' ');
        size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
        if (sp2 != std::string::npos) {
            rsp->m_reason = Trim(line.substr(sp2 + 1));
        }
    }
    return n;
}

// Overwrites and frees a header list; the list carries the login token.
void FreeHeaderList(curl_slist* list)
{
    for (curl_slist* p = list; p != nullptr; p = p->next) {
        if (p->data != nullptr) {
            SecureWipe(p->data, std::char_traits<char>::length(p->data));
        }
    }
    curl_slist_free_all(list);
}

bool HasLineBreak(const std::string& s)
{
    return s.find_first_of("\r\n") != std::string::npos || s.find('\0') != std::string::npos;
}

std::shared_ptr<HttpResponse> LocalFailure(CURLcode code, const std::string& text)
{
    auto rsp = std::make_shared<HttpResponse>();
    rsp->m_netError = static_cast<int32_t>(code);
    rsp->m_netErrorText = text;
    return rsp;
}

class CurlHttpClient final : public IHttpClient {
public:
    ~CurlHttpClient() override
    {
        for (CURL* h : m_idle) {
            curl_easy_cleanup(h);
        }
    }

    std::shared_ptr<IHttpResponse> SendRequest(const HttpRequest& request, uint32_t timeoutSec) override
    {
        std::shared_ptr<HttpResponse> rsp;
        try {
            rsp = Perform(request, timeoutSec == 0 ? kDefaultTimeoutSec : timeoutSec);
        } catch (const std::exception& e) {
            HostLog(4, "CurlHttpClient::SendRequest()", __LINE__, std::string("Request failed: ") + e.what());
            return nullptr;
        }
        return rsp;
    }

private:
    // A handle keeps its connection cache, so taking an idle one reuses the
    // connection that an earlier request to the same server left open.
    CURL* TakeHandle()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_idle.empty()) {
                CURL* h = m_idle.back();
                m_idle.pop_back();
                return h;
            }
        }
        return curl_easy_init();
    }

    void GiveBack(CURL* h)
    {
        curl_easy_reset(h);  // keeps live connections and the TLS session cache
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(h);
    }

    std::shared_ptr<HttpResponse> Perform(const HttpRequest& request, uint32_t timeoutSec)
    {
        std::string method = request.method;
        std::transform(method.begin(), method.end(), method.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (method.empty() || HasLineBreak(method) || method.find(' ') != std::string::npos) {
            return LocalFailure(CURLE_BAD_FUNCTION_ARGUMENT, "Invalid request method.");
        }
        if (HasLineBreak(request.url)) {
            return LocalFailure(CURLE_URL_MALFORMAT, "Invalid request URL.");
        }

        curl_slist* headers = nullptr;
        std::string acceptEncoding;
        bool encodingAsked = false;
        for (const auto& h : request.headers) {
            if (h.first.empty() || HasLineBreak(h.first) || HasLineBreak(h.second) ||
                h.first.find(':') != std::string::npos) {
                FreeHeaderList(headers);
                return LocalFailure(CURLE_BAD_FUNCTION_ARGUMENT, "Invalid request header: " + h.first);
            }
            if (strcasecmp(h.first.c_str(), "Accept-Encoding") == 0) {
                // libcurl only decodes what it asked for itself.
                acceptEncoding = h.second;
                encodingAsked = true;
                continue;
            }
            // "Name;" is libcurl's way of sending a header with an empty value.
            std::string line = h.second.empty() ? h.first + ";" : h.first + ": " + h.second;
            curl_slist* next = curl_slist_append(headers, line.c_str());
            cleanMemoryPwd(line);
            if (next == nullptr) {
                FreeHeaderList(headers);
                return nullptr;
            }
            headers = next;
        }
        // No "Expect: 100-continue" round trip for larger bodies.
        curl_slist* next = curl_slist_append(headers, "Expect:");
        if (next == nullptr) {
            FreeHeaderList(headers);
            return nullptr;
        }
        headers = next;

        CURL* h = TakeHandle();
        if (h == nullptr) {
            FreeHeaderList(headers);
            return nullptr;
        }

        auto rsp = std::make_shared<HttpResponse>();
        char errbuf[CURL_ERROR_SIZE];
        errbuf[0] = '\0';
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
        curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
        curl_easy_setopt(h, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // safe with several threads
        curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeoutSec));
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeoutSec));
        curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
        if (encodingAsked) {
            curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, acceptEncoding.c_str());
        }
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, rsp.get());
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, ReadHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, rsp.get());

        ApplyTlsSettings(h);

        if (method == "GET") {
            curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        } else if (method == "HEAD") {
            curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        } else {
            if (method != "POST") {
                curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
            }
            // The body is sent from the caller's buffer, never copied into
            // libcurl's memory, so wiping the request wipes the password.
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.c_str());
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        }

        CURLcode rc = curl_easy_perform(h);
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        GiveBack(h);
        FreeHeaderList(headers);

        if (rc != CURLE_OK) {
            rsp->m_netError = static_cast<int32_t>(rc);
            rsp->m_netErrorText = curl_easy_strerror(rc);
            if (errbuf[0] != '\0') {
                rsp->m_netErrorText += std::string(": ") + errbuf;
            }
            rsp->m_body.clear();
            return rsp;
        }
        rsp->m_status = static_cast<int32_t>(status);
        if (!rsp->IsSuccess()) {
            rsp->m_httpErrorText = "HTTP " + std::to_string(status);
            if (!rsp->m_reason.empty()) {
                rsp->m_httpErrorText += " " + rsp->m_reason;
            }
        }
        return rsp;
    }

    // Read at every request, so a changed configuration applies to the next one.
    static void ApplyTlsSettings(CURL* h)
    {
        using namespace HttpClientConfig;
        std::string verify = Trim(ConfigReader::getString(SECTION, KEY_VERIFY_PEER, DEFAULT_VERIFY_PEER));
        // Only an explicit "0" turns verification off; a typo keeps it on.
        if (verify == "0") {
            HostLog(3, "CurlHttpClient::ApplyTlsSettings()", __LINE__,
                    "HTTPS certificate and host name verification is turned off (" + std::string(SECTION) + "/" +
                        KEY_VERIFY_PEER + " = 0).");
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
        } else {
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        }
        std::string caFile = Trim(ConfigReader::getString(SECTION, KEY_CA_FILE, DEFAULT_CA_FILE));
        if (!caFile.empty()) {
            curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str());  // libcurl copies the string
        }
    }

    std::mutex m_mutex;
    std::vector<CURL*> m_idle;
};

bool GlobalInit()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

#endif  // DM_HAVE_CURL

struct Registry {
    std::mutex mutex;
    IHttpClient* client = nullptr;  // the built-in client while referenced
    int refs = 0;
    IHttpClient::Provider* provider = nullptr;
};

Registry& GetRegistry()
{
    static Registry registry;
    return registry;
}

}  // namespace

IHttpClient* IHttpClient::GetInstance()
{
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.provider != nullptr) {
        return r.provider->Acquire();
    }
#ifdef DM_HAVE_CURL
    if (r.client == nullptr) {
        if (!GlobalInit()) {
            HostLog(4, "IHttpClient::GetInstance()", __LINE__, "curl_global_init failed.");
            return nullptr;
        }
        r.client = new (std::nothrow) CurlHttpClient();
        if (r.client == nullptr) {
            return nullptr;
        }
        r.refs = 0;
    }
    ++r.refs;
    return r.client;
#else
    HostLog(4, "IHttpClient::GetInstance()", __LINE__, "Built without libcurl; no HTTP client.");
    return nullptr;
#endif
}

void IHttpClient::ReleaseInstance(IHttpClient* client)
{
    if (client == nullptr) {
        return;
    }
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (client == r.client) {
        if (--r.refs <= 0) {
            delete r.client;
            r.client = nullptr;
            r.refs = 0;
        }
        return;
    }
    if (r.provider != nullptr) {
        r.provider->Release(client);
    }
}

IHttpClient::Provider* IHttpClient::SetProvider(Provider* provider)
{
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    Provider* old = r.provider;
    r.provider = provider;
    return old;
}

bool IsCertificateError(int32_t transportCode)
{
    switch (transportCode) {
        case CURLE_PEER_FAILED_VERIFICATION:  // untrusted issuer, expired, wrong host name
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return true;
        default:
            return false;
    }
}
