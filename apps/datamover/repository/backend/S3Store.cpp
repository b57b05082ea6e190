#include "apps/datamover/repository/backend/S3Store.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace repo3 {

namespace {

constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Sha256Hex(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr) != 1) {
        throw StorageError("SHA-256 of an upload failed");
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Percent-encoding of a query value as Signature V4 wants it (unreserved kept, %XX upper case).
std::string QueryEscape(const std::string& s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string XmlUnescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out.push_back(s[i]);
            continue;
        }
        const size_t semi = s.find(';', i);
        if (semi == std::string::npos) {
            out.push_back(s[i]);
            continue;
        }
        const std::string ent = s.substr(i + 1, semi - i - 1);
        if (ent == "amp") out.push_back('&');
        else if (ent == "lt") out.push_back('<');
        else if (ent == "gt") out.push_back('>');
        else if (ent == "quot") out.push_back('"');
        else if (ent == "apos") out.push_back('\'');
        else if (!ent.empty() && ent[0] == '#') {
            const long v = ent.size() > 1 && (ent[1] == 'x' || ent[1] == 'X') ? std::strtol(ent.c_str() + 2, nullptr, 16)
                                                                             : std::strtol(ent.c_str() + 1, nullptr, 10);
            if (v <= 0 || v > 127) throw StorageError("listing holds a character reference outside ASCII: &" + ent + ";");
            out.push_back(static_cast<char>(v));
        } else {
            out.append(s, i, semi - i + 1);
        }
        i = semi;
    }
    return out;
}

// The text of every <tag>...</tag> in `xml`, in order.
std::vector<std::string> XmlAll(const std::string& xml, const std::string& tag)
{
    std::vector<std::string> out;
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    size_t at = 0;
    while ((at = xml.find(open, at)) != std::string::npos) {
        const size_t b = at + open.size();
        const size_t e = xml.find(close, b);
        if (e == std::string::npos) break;
        out.push_back(XmlUnescape(xml.substr(b, e - b)));
        at = e + close.size();
    }
    return out;
}

std::string XmlFirst(const std::string& xml, const std::string& tag)
{
    std::vector<std::string> all = XmlAll(xml, tag);
    return all.empty() ? "" : all.front();
}

size_t WriteBody(char* data, size_t size, size_t n, void* user)
{
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

struct Upload {
    const std::string* data;
    size_t offset = 0;
};

size_t ReadBody(char* buffer, size_t size, size_t n, void* user)
{
    Upload* u = static_cast<Upload*>(user);
    const size_t len = std::min(size * n, u->data->size() - u->offset);
    std::memcpy(buffer, u->data->data() + u->offset, len);
    u->offset += len;
    return len;
}

int SeekBody(void* user, curl_off_t offset, int origin)
{
    Upload* u = static_cast<Upload*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > u->data->size()) {
        return CURL_SEEKFUNC_FAIL;
    }
    u->offset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

void GlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Transport failures worth another try: the service restarting, a reset, a stall.
bool Transient(CURLcode c)
{
    switch (c) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

bool TransientStatus(long status)
{
    return status == 429 || status == 408 || (status >= 500 && status <= 599);
}

enum class TlsProbe { Yes, No, NoConnection };

// Whether HOST:PORT completes a TLS handshake. Nothing is sent after it and the
// certificate is not judged: it only tells a plain-HTTP store pointed at an
// HTTPS port (every request gets nothing back, forever) from a service that
// dropped a connection while restarting.
TlsProbe ProbeTls(const std::string& hostPort, long timeout)
{
    CURL* h = curl_easy_init();
    if (h == nullptr) return TlsProbe::NoConnection;
    const std::string url = "https://" + hostPort + "/";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, timeout);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_cleanup(h);
    if (rc == CURLE_OK) return TlsProbe::Yes;
    if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST) return TlsProbe::NoConnection;
    return TlsProbe::No;  // it answered, or stayed silent, but not with TLS
}

}  // namespace

bool IsS3Url(const std::string& text)
{
    return text.rfind("s3://", 0) == 0 || text.rfind("s3+http://", 0) == 0;
}

bool ParseS3Url(const std::string& url, S3Location& out, std::string& error)
{
    S3Location loc;
    std::string rest;
    if (url.rfind("s3://", 0) == 0) {
        rest = url.substr(5);
    } else if (url.rfind("s3+http://", 0) == 0) {
        loc.tls = false;
        rest = url.substr(10);
    } else {
        error = "not an S3 location: " + url + " (s3://HOST[:PORT]/BUCKET[/PREFIX] or s3+http://...)";
        return false;
    }
    const size_t slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (hostPort.find('@') != std::string::npos) {
        error = "credentials do not belong in the repository URL " + url +
                ": give them with AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY or a credentials file";
        return false;
    }
    const size_t colon = hostPort.rfind(':');
    if (colon != std::string::npos && hostPort.find(']') == std::string::npos) {
        const std::string p = hostPort.substr(colon + 1);
        char* end = nullptr;
        const long port = std::strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || port < 1 || port > 65535) {
            error = "bad port in " + url;
            return false;
        }
        loc.port = static_cast<int>(port);
        hostPort.resize(colon);
    }
    loc.host = hostPort;
    if (loc.host.empty() || loc.host.find_first_of("/?#% ") != std::string::npos) {
        error = "no host in " + url + " (s3://HOST[:PORT]/BUCKET[/PREFIX])";
        return false;
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    const size_t bslash = path.find('/');
    loc.bucket = path.substr(0, bslash);
    const std::string prefix = bslash == std::string::npos ? "" : path.substr(bslash + 1);
    // Bucket names: 3-63 of lower-case letters, digits, '.', '-'.
    if (loc.bucket.size() < 3 || loc.bucket.size() > 63 ||
        !std::all_of(loc.bucket.begin(), loc.bucket.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        })) {
        error = "bad or missing bucket name in " + url + " (3 to 63 of a-z, 0-9, '.', '-')";
        return false;
    }
    if (!prefix.empty()) {
        if (!ValidObjectName(prefix)) {
            error = "bad prefix '" + prefix + "' in " + url + " ('/'-separated components of A-Za-z0-9._-)";
            return false;
        }
        loc.prefix = prefix + "/";
    }
    out = loc;
    return true;
}

bool LoadS3Credentials(S3Credentials& out, std::string& error)
{
    S3Credentials c;
    c.region = Env("AWS_DEFAULT_REGION");
    if (c.region.empty()) c.region = Env("AWS_REGION");
    c.accessKey = Env("AWS_ACCESS_KEY_ID");
    c.secretKey = Env("AWS_SECRET_ACCESS_KEY");
    c.sessionToken = Env("AWS_SESSION_TOKEN");
    if (c.accessKey.empty() != c.secretKey.empty()) {
        error = "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY go together: one of them is not set";
        return false;
    }
    if (c.accessKey.empty()) {
        std::string file = Env("AWS_SHARED_CREDENTIALS_FILE");
        if (file.empty() && !Env("HOME").empty()) file = Env("HOME") + "/.aws/credentials";
        std::string profile = Env("AWS_PROFILE");
        if (profile.empty()) profile = "default";
        std::ifstream in(file);
        if (file.empty() || !in) {
            error = "no S3 credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or write them to " +
                    (file.empty() ? std::string("~/.aws/credentials") : file);
            return false;
        }
        std::string line, section;
        while (std::getline(in, line)) {
            line = Trim(line);
            if (line.empty() || line[0] == '#' || line[0] == ';') continue;
            if (line.front() == '[' && line.back() == ']') {
                section = Trim(line.substr(1, line.size() - 2));
                continue;
            }
            const size_t eq = line.find('=');
            if (section != profile || eq == std::string::npos) continue;
            const std::string k = Trim(line.substr(0, eq)), v = Trim(line.substr(eq + 1));
            if (k == "aws_access_key_id") c.accessKey = v;
            else if (k == "aws_secret_access_key") c.secretKey = v;
            else if (k == "aws_session_token") c.sessionToken = v;
            else if (k == "region" && c.region.empty()) c.region = v;
        }
        if (c.accessKey.empty() || c.secretKey.empty()) {
            error = "no S3 credentials for profile '" + profile + "' in " + file +
                    " (aws_access_key_id and aws_secret_access_key)";
            return false;
        }
    }
    if (c.region.empty()) c.region = "us-east-1";
    if (c.accessKey.find(':') != std::string::npos) {
        error = "the access key id holds a ':'";  // libcurl takes "key:secret"
        return false;
    }
    out = c;
    return true;
}

S3Options S3Options::FromEnvironment()
{
    S3Options o;
    o.caFile = Env("AWS_CA_BUNDLE");
    o.verbose = !Env("DATAMOVER_S3_DEBUG").empty();
    const std::string retry = Env("DATAMOVER_S3_RETRY_SECONDS");
    if (!retry.empty()) {
        char* end = nullptr;
        const double v = std::strtod(retry.c_str(), &end);
        if (*end == '\0' && v >= 0 && v <= 3600) o.retrySeconds = v;
    }
    return o;
}

// Easy handles kept between requests, so each keeps its connection alive.
class S3Store::HandlePool {
public:
    ~HandlePool()
    {
        for (CURL* h : m_free) curl_easy_cleanup(h);
    }
    CURL* Take()
    {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (!m_free.empty()) {
                CURL* h = m_free.back();
                m_free.pop_back();
                return h;
            }
        }
        CURL* h = curl_easy_init();
        if (h == nullptr) throw StorageError("libcurl could not make a handle");
        return h;
    }
    void Give(CURL* h)
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_free.push_back(h);
    }

private:
    std::mutex m_mutex;
    std::vector<CURL*> m_free;
};

S3Store::S3Store(const S3Location& where, const S3Credentials& credentials, const S3Options& options)
    : m_where(where), m_credentials(credentials), m_options(options), m_pool(std::make_unique<HandlePool>())
{
    GlobalInit();
    std::string host = m_where.host;
    m_base = std::string(m_where.tls ? "https://" : "http://") + host +
             (m_where.port != 0 ? ":" + std::to_string(m_where.port) : "") + "/" + m_where.bucket;
}

S3Store::~S3Store()
{
    const std::string stats = Env("DATAMOVER_S3_STATS");
    if (!stats.empty()) {
        std::ofstream out(stats, std::ios::app);
        out << "get=" << m_counters.get << " put=" << m_counters.put << " head=" << m_counters.head
            << " delete=" << m_counters.del << " list=" << m_counters.list << " retries=" << m_counters.retries
            << "\n";
    }
}

std::string S3Store::Describe() const
{
    return std::string(m_where.tls ? "s3://" : "s3+http://") + m_where.host +
           (m_where.port != 0 ? ":" + std::to_string(m_where.port) : "") + "/" + m_where.bucket +
           (m_where.prefix.empty() ? "" : "/" + m_where.prefix.substr(0, m_where.prefix.size() - 1));
}

std::string S3Store::KeyOf(const std::string& name) const
{
    if (!ValidObjectName(name)) {
        throw StorageError("invalid object name '" + name + "' in " + Describe());
    }
    return m_where.prefix + name;
}

std::string S3Store::UrlOf(const std::string& key, const std::string& query) const
{
    // Keys hold only [A-Za-z0-9._-/]: nothing to escape in the path.
    return m_base + (key.empty() ? "" : "/" + key) + (query.empty() ? "" : "?" + query);
}

S3Store::Response S3Store::Request(const char* method, const std::string& key, const std::string& query,
                                   const std::string* payload, const std::vector<std::string>& headers) const
{
    const std::string url = UrlOf(key, query);
    const std::string sigv4 = "aws:amz:" + m_credentials.region + ":s3";
    const std::string userpwd = m_credentials.accessKey + ":" + m_credentials.secretKey;
    const std::string hash = payload != nullptr ? Sha256Hex(*payload) : kEmptySha256;
    const auto start = std::chrono::steady_clock::now();
    std::mt19937 jitter(static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()) ^
                                              static_cast<unsigned>(start.time_since_epoch().count())));
    double backoff = m_options.firstBackoff;
    std::string lastFailure;
    for (int attempt = 1;; ++attempt) {
        CURL* h = m_pool->Take();
        struct Return {
            HandlePool& pool;
            CURL* h;
            ~Return() { pool.Give(h); }
        } giveBack{*m_pool, h};
        curl_easy_reset(h);  // keeps the live connection, drops the last request's options
        Response r;
        Upload up{payload};
        curl_slist* list = nullptr;
        list = curl_slist_append(list, ("x-amz-content-sha256: " + hash).c_str());
        // No "Expect:" to turn 100-continue off: libcurl would sign the empty header it then leaves out.
        if (!m_credentials.sessionToken.empty()) {
            list = curl_slist_append(list, ("x-amz-security-token: " + m_credentials.sessionToken).c_str());
        }
        for (const std::string& hd : headers) list = curl_slist_append(list, hd.c_str());
        struct FreeList {
            curl_slist* l;
            ~FreeList() { curl_slist_free_all(l); }
        } freeList{list};
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(h, CURLOPT_AWS_SIGV4, sigv4.c_str());
        curl_easy_setopt(h, CURLOPT_USERPWD, userpwd.c_str());
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        if (m_options.verbose) curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, m_options.connectTimeout);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, m_options.stallSeconds);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, m_where.tls ? "https" : "http");
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_options.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, m_options.caFile.c_str());
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &r.body);
        if (std::strcmp(method, "PUT") == 0) {
            curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadBody);
            curl_easy_setopt(h, CURLOPT_READDATA, &up);
            curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, SeekBody);
            curl_easy_setopt(h, CURLOPT_SEEKDATA, &up);
            curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(payload->size()));
        } else if (std::strcmp(method, "HEAD") == 0) {
            curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        } else if (std::strcmp(method, "DELETE") == 0) {
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
        }
        char errbuf[CURL_ERROR_SIZE] = {0};
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
        const CURLcode rc = curl_easy_perform(h);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rc == CURLE_OK) {
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &r.status);
            if (!TransientStatus(r.status)) return r;
            lastFailure = "HTTP " + std::to_string(r.status) +
                          (XmlFirst(r.body, "Code").empty() ? "" : " " + XmlFirst(r.body, "Code"));
        } else {
            const std::string detail = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc);
            const int port = m_where.port != 0 ? m_where.port : (m_where.tls ? 443 : 80);
            const std::string hostPort = m_where.host + ":" + std::to_string(port);
            if (rc == CURLE_SSL_CACERT_BADFILE && !m_options.caFile.empty()) {
                throw StorageError("the CA file AWS_CA_BUNDLE=" + m_options.caFile + " cannot be used for TLS with " +
                                       hostPort + " (" + detail + ")",
                                   StorageError::Kind::Unavailable);
            }
            // One look per store, when a connection first ends with no answer at all.
            if (!m_where.tls && rc == CURLE_GOT_NOTHING && !m_plainChecked.load()) {
                const TlsProbe probe = ProbeTls(hostPort, std::min(m_options.connectTimeout, 5L));
                if (probe == TlsProbe::Yes) {
                    throw StorageError(hostPort + " speaks TLS, not plain HTTP: an HTTPS endpoint is written s3://" +
                                           hostPort + "/" + m_where.bucket + " (s3+http:// is for plain HTTP)",
                                       StorageError::Kind::Unavailable);
                }
                if (probe == TlsProbe::No) m_plainChecked = true;
            }
            if (rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_PEER_FAILED_VERIFICATION ||
                rc == CURLE_SSL_CACERT_BADFILE || rc == CURLE_SSL_CERTPROBLEM) {
                throw StorageError("TLS with " + m_where.host + (m_where.port ? ":" + std::to_string(m_where.port) : "") +
                                       " failed (" + detail + "); a plain-HTTP endpoint is written s3+http://, "
                                       "a private CA is given with AWS_CA_BUNDLE",
                                   StorageError::Kind::Unavailable);
            }
            if (rc == CURLE_COULDNT_RESOLVE_HOST) {
                throw StorageError("cannot resolve the S3 host " + m_where.host + " (" + detail + ")",
                                   StorageError::Kind::Unavailable);
            }
            if (!Transient(rc)) {
                throw StorageError(std::string(method) + " " + url + " failed: " + detail,
                                   StorageError::Kind::Unavailable);
            }
            lastFailure = detail;
            // A connection that failed is not handed out again.
            curl_easy_cleanup(h);
            giveBack.h = curl_easy_init();
            if (giveBack.h == nullptr) throw StorageError("libcurl could not make a handle");
        }
        // Both bounds must pass: a single stall can outlast the time bound, and
        // deserves a few more tries all the same.
        if (attempt >= m_options.minAttempts && elapsed + backoff > m_options.retrySeconds) {
            throw StorageError("S3 service " + m_base + " kept failing for " + std::to_string(static_cast<int>(elapsed)) +
                                   " s (" + std::to_string(attempt) + " attempts of " + method + " " +
                                   (key.empty() ? "/" : key) + ", last: " + lastFailure + ")",
                               StorageError::Kind::Unavailable);
        }
        ++m_counters.retries;
        std::uniform_real_distribution<double> spread(0.5, 1.0);
        std::this_thread::sleep_for(std::chrono::duration<double>(backoff * spread(jitter)));
        backoff = std::min(backoff * 2, m_options.maxBackoff);
    }
}

void S3Store::Fail(const char* what, const std::string& name, const Response& r) const
{
    const std::string code = XmlFirst(r.body, "Code");
    const std::string message = XmlFirst(r.body, "Message");
    const std::string where = Describe();
    if (code == "NoSuchBucket" || (r.status == 404 && code.empty() && name.empty())) {
        throw StorageError("bucket " + m_where.bucket + " does not exist at " + m_where.host +
                               (m_where.port ? ":" + std::to_string(m_where.port) : "") + " (create it first)",
                           StorageError::Kind::NotFound);
    }
    if (code == "InvalidAccessKeyId" || code == "SignatureDoesNotMatch") {
        throw StorageError("the S3 service at " + m_where.host + " refused the credentials (" + code +
                               "): check AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (or the credentials file)",
                           StorageError::Kind::Denied);
    }
    if (r.status == 403) {
        throw StorageError(std::string("access denied ") + what + " " + where + "/" + name + " (" +
                               (code.empty() ? "HTTP 403" : code) +
                               "): the user needs to list, read, write and delete objects in bucket " +
                               m_where.bucket,
                           StorageError::Kind::Denied);
    }
    throw StorageError(std::string("S3 refused ") + what + " " + where + "/" + name + ": HTTP " +
                       std::to_string(r.status) + (code.empty() ? "" : " " + code) +
                       (message.empty() ? "" : " (" + message + ")"));
}

bool S3Store::PutIfAbsent(const std::string& name, const std::string& data)
{
    const std::string key = KeyOf(name);
    // Small control objects get a look first: it is the whole guard on a
    // service that ignores If-None-Match. Chunks are content-addressed (a
    // second PUT of one is harmless) and their callers look already.
    if (name.rfind("chunks/", 0) != 0 && Exists(name)) return true;
    ++m_counters.put;
    const Response r = Request("PUT", key, "", &data, {"If-None-Match: *", "Content-Type: application/octet-stream"});
    if (r.status == 412) return true;
    if (r.status / 100 != 2) Fail("writing", name, r);
    return false;
}

void S3Store::Replace(const std::string& name, const std::string& data)
{
    const std::string key = KeyOf(name);
    ++m_counters.put;
    const Response r = Request("PUT", key, "", &data, {"Content-Type: application/octet-stream"});
    if (r.status / 100 != 2) Fail("writing", name, r);
}

bool S3Store::Get(const std::string& name, std::string& data) const
{
    const std::string key = KeyOf(name);
    ++m_counters.get;
    Response r = Request("GET", key, "", nullptr, {});
    if (r.status == 404 && XmlFirst(r.body, "Code") != "NoSuchBucket") return false;
    if (r.status / 100 != 2) Fail("reading", name, r);
    data = std::move(r.body);
    return true;
}

bool S3Store::Exists(const std::string& name) const
{
    const std::string key = KeyOf(name);
    ++m_counters.head;
    const Response r = Request("HEAD", key, "", nullptr, {});
    if (r.status / 100 == 2) return true;
    if (r.status == 404) return false;
    Fail("looking up", name, r);
}

bool S3Store::Delete(const std::string& name)
{
    if (!Exists(name)) return false;  // S3 answers 204 either way
    ++m_counters.del;
    const Response r = Request("DELETE", KeyOf(name), "", nullptr, {});
    if (r.status == 404 && XmlFirst(r.body, "Code") != "NoSuchBucket") return false;
    if (r.status / 100 != 2) Fail("deleting", name, r);
    return true;
}

std::vector<std::string> S3Store::List(const std::string& prefix) const
{
    std::vector<std::string> out;
    const std::string full = m_where.prefix + prefix;
    std::string token;
    while (true) {
        // Parameters in Signature V4's canonical order (sorted by name), values escaped.
        std::string query;
        if (!token.empty()) query += "continuation-token=" + QueryEscape(token) + "&";
        query += "list-type=2&prefix=" + QueryEscape(full);
        ++m_counters.list;
        const Response r = Request("GET", "", query, nullptr, {});
        if (r.status / 100 != 2) Fail("listing", prefix, r);
        for (const std::string& key : XmlAll(r.body, "Key")) {
            if (key.compare(0, m_where.prefix.size(), m_where.prefix) != 0) continue;
            const std::string name = key.substr(m_where.prefix.size());
            if (ValidObjectName(name)) out.push_back(name);  // others are no object of ours
        }
        if (XmlFirst(r.body, "IsTruncated") != "true") break;
        token = XmlFirst(r.body, "NextContinuationToken");
        if (token.empty()) throw StorageError("listing of " + Describe() + " is truncated without a continuation token");
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace repo3
