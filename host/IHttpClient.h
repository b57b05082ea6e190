// The host's HTTP client: one process-wide client, handed out by GetInstance and
// given back with ReleaseInstance, that sends a request over HTTP or HTTPS and
// returns the whole response. Thread-safe: any number of threads may send at once;
// each transfer uses its own connection handle, and idle handles (with their open
// connections) are kept for reuse by later requests to the same server.
//
// Transport security comes from the host configuration, read at every request:
//   [General] HttpsCaFile     CA bundle that server certificates must chain to
//                             (empty: the system's default bundle)
//   [General] HttpsVerifyPeer 1 verifies the certificate and the host name;
//                             0 turns both checks off (logged at level 3 each time)
#pragma once
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>

// One request. The body may carry a password (a login), so the destructor
// overwrites it before the memory goes back to the allocator.
struct HttpRequest {
    std::string method;  // "GET", "POST", "PUT", "DELETE"
    std::string url;     // full URL, scheme included
    std::string reserved1;  // not used by this client
    // Sent sorted by name; a given pair once.
    std::set<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string reserved2;  // not used by this client

    HttpRequest() = default;
    HttpRequest(const HttpRequest&) = default;
    HttpRequest& operator=(const HttpRequest&) = default;
    ~HttpRequest();
};

// The outcome of one request. Exactly one of these holds: a transport failure
// (IsNetworkError() non-zero, no status), or an HTTP reply with a status code.
class IHttpResponse {
public:
    virtual ~IHttpResponse() = default;
    // A reply with a 2xx status arrived.
    virtual bool IsSuccess() const = 0;
    // The HTTP status; 0 when no reply arrived.
    virtual int32_t GetStatusCode() const = 0;
    // For a non-2xx reply, e.g. "HTTP 401 Unauthorized"; empty otherwise.
    virtual std::string GetHttpErrorText() const = 0;
    // Non-zero (the transport's error code) when no reply arrived.
    virtual int32_t IsNetworkError() const = 0;
    virtual std::string GetNetworkErrorText() const = 0;
    virtual std::string GetBody() const = 0;
};

// Whether a transport error code (IsNetworkError()) says the server's
// certificate or our trust settings were refused: retrying cannot help.
bool IsCertificateError(int32_t transportCode);

class IHttpClient {
public:
    virtual ~IHttpClient() = default;

    // Sends the request and waits at most timeoutSec seconds for the whole
    // exchange (0: the default of 90). Empty only when the request could not be
    // attempted at all (no memory, a transport that cannot start).
    virtual std::shared_ptr<IHttpResponse> SendRequest(const HttpRequest& request, uint32_t timeoutSec) = 0;

    // The process's client, or null when none can be made. Each successful call
    // must be matched by ReleaseInstance.
    static IHttpClient* GetInstance();
    // Gives a client back; the last release frees the libcurl client.
    static void ReleaseInstance(IHttpClient* client);

    // Where GetInstance/ReleaseInstance get clients from; tests and tools may
    // install their own. SetProvider(nullptr) restores the libcurl client.
    class Provider {
    public:
        virtual ~Provider() = default;
        virtual IHttpClient* Acquire() = 0;
        virtual void Release(IHttpClient* client) = 0;
    };
    // Returns the previous provider (null for the built-in one).
    static Provider* SetProvider(Provider* provider);
};

// The configuration keys above with their defaults: (section, key) -> value.
namespace HttpClientConfig {
extern const char SECTION[];
extern const char KEY_CA_FILE[];
extern const char KEY_VERIFY_PEER[];
extern const char DEFAULT_CA_FILE[];
extern const char DEFAULT_VERIFY_PEER[];
}  // namespace HttpClientConfig
