// An ObjectStore in an S3 bucket (Ceph RGW or any S3-compatible service):
// object "a/b" is the key "<prefix>/a/b" of the bucket, addressed path-style
// (http[s]://HOST[:PORT]/BUCKET/KEY). Requests are signed by libcurl's own
// AWS Signature V4; every upload carries its SHA-256, which the service checks.
//
// What S3 gives and what it does not:
// - A PUT is atomic: readers see the old object or the new one, never a part,
//   so an upload cut off by a crash or a reset leaves nothing under its name.
// - PutIfAbsent sends "If-None-Match: *", which RGW (and S3 since 2024) turns
//   into an exclusive create (412 when the name exists). A service that ignores
//   the header degrades to "HEAD, then PUT": two writers of one name could both
//   win. The repository only relies on exclusivity for names that carry the
//   writer's own id (claims) or for content-addressed chunks, where a second
//   identical PUT is harmless, and for the collection lease, which is also
//   re-read after it is taken.
// - Listings are strongly consistent on RGW and on S3 since 2020.
//
// Several threads may call at once: each request takes an easy handle from a
// pool (one per thread in flight), whose connection is kept and reused.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/datamover/repository/backend/ObjectStore.h"

namespace repo3 {

struct S3Location {
    bool tls = true;
    std::string host;  // name or address, no port
    int port = 0;      // 0: the scheme's default
    std::string bucket;
    std::string prefix;  // "" or components ending in '/'
};

// "s3://HOST[:PORT]/BUCKET[/PREFIX]" (TLS) or "s3+http://..." (plain HTTP).
bool IsS3Url(const std::string& text);
bool ParseS3Url(const std::string& url, S3Location& out, std::string& error);

struct S3Credentials {
    std::string accessKey;
    std::string secretKey;
    std::string sessionToken;  // optional
    std::string region;        // us-east-1 unless said otherwise
};

// AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY (AWS_SESSION_TOKEN), else the
// profile AWS_PROFILE ("default") of AWS_SHARED_CREDENTIALS_FILE or
// ~/.aws/credentials; region from AWS_DEFAULT_REGION or AWS_REGION.
// `home` stands for $HOME (tests). False with a line saying what is missing.
bool LoadS3Credentials(S3Credentials& out, std::string& error);

struct S3Options {
    std::string caFile;            // PEM bundle for TLS; "" = the system's
    double retrySeconds = 30;      // how long transient failures are retried...
    int minAttempts = 4;           // ...and at least how many times a request is tried
    double firstBackoff = 0.2;     // seconds; doubles per attempt, jittered
    double maxBackoff = 4;
    long connectTimeout = 10;      // seconds
    long stallSeconds = 60;        // a transfer below 1 byte/s this long is cut
    bool verbose = false;          // libcurl's trace on standard error (DATAMOVER_S3_DEBUG)
    // From the environment: AWS_CA_BUNDLE, DATAMOVER_S3_RETRY_SECONDS, DATAMOVER_S3_DEBUG.
    static S3Options FromEnvironment();
};

// Requests made, for tests and the bench (DATAMOVER_S3_STATS=<file> appends them at exit).
struct S3Counters {
    std::atomic<uint64_t> get{0}, put{0}, head{0}, del{0}, list{0}, retries{0};
};

class S3Store : public ObjectStore {
public:
    S3Store(const S3Location& where, const S3Credentials& credentials, const S3Options& options = {});
    ~S3Store() override;
    bool PutIfAbsent(const std::string& name, const std::string& data) override;
    void Replace(const std::string& name, const std::string& data) override;
    bool Get(const std::string& name, std::string& data) const override;
    bool Exists(const std::string& name) const override;
    std::vector<std::string> List(const std::string& prefix) const override;
    bool Delete(const std::string& name) override;
    std::string Describe() const override;
    const S3Counters& Counters() const { return m_counters; }

    struct Response {
        long status = 0;
        std::string body;
    };

private:
    class HandlePool;
    // One request, retried while the failure is transient; the final response
    // (any status) or a StorageError for a transport failure that did not pass.
    Response Request(const char* method, const std::string& key, const std::string& query,
                     const std::string* payload, const std::vector<std::string>& headers) const;
    // Throws the one-line StorageError a non-success response means.
    [[noreturn]] void Fail(const char* what, const std::string& name, const Response& r) const;
    std::string KeyOf(const std::string& name) const;
    std::string UrlOf(const std::string& key, const std::string& query) const;

    S3Location m_where;
    S3Credentials m_credentials;
    S3Options m_options;
    std::string m_base;  // scheme://host:port/bucket
    std::unique_ptr<HandlePool> m_pool;
    mutable S3Counters m_counters;
    mutable std::atomic<bool> m_plainChecked{false};  // a plain-HTTP endpoint was seen not to speak TLS
};

}  // namespace repo3
