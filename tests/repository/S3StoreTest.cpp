// The S3 backend's own inputs: repository URLs, where credentials come from,
// and the refusals a user gets in one line. Requests against a real gateway
// are in tests/s3.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/repository/backend/S3Store.h"
#include "tests/repository/RepoTestUtil.h"

using namespace repo3;

namespace {

TEST(S3Url, ParsesOrRefusesWithTheReason)
{
    struct Case {
        std::string url;
        bool ok;
        bool tls;
        std::string host;
        int port;
        std::string bucket, prefix, says;
    };
    const Case cases[] = {
        {"s3://s3.example.org/backups", true, true, "s3.example.org", 0, "backups", "", ""},
        {"s3://s3.example.org:8443/backups/", true, true, "s3.example.org", 8443, "backups", "", ""},
        {"s3+http://127.0.0.1:7480/dm-test/node-1/repo", true, false, "127.0.0.1", 7480, "dm-test", "node-1/repo/", ""},
        {"s3://host/bucket/a//b", false, true, "", 0, "", "", "bad prefix"},
        {"s3://host/bucket/../x", false, true, "", 0, "", "", "bad prefix"},
        {"s3://host/bucket/.hidden", false, true, "", 0, "", "", "bad prefix"},
        {"s3://host/", false, true, "", 0, "", "", "bucket"},
        {"s3://host/Upper", false, true, "", 0, "", "", "bucket"},
        {"s3://host/ab", false, true, "", 0, "", "", "bucket"},
        {"s3://host:0/bucket", false, true, "", 0, "", "", "bad port"},
        {"s3://host:99999/bucket", false, true, "", 0, "", "", "bad port"},
        {"s3://host:x/bucket", false, true, "", 0, "", "", "bad port"},
        {"s3:///bucket", false, true, "", 0, "", "", "no host"},
        {"s3://AKIA:secret@host/bucket", false, true, "", 0, "", "", "credentials do not belong"},
        {"http://host/bucket", false, true, "", 0, "", "", "not an S3 location"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        S3Location loc;
        std::string error;
        ASSERT_EQ(ParseS3Url(c.url, loc, error), c.ok) << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(loc.tls, c.tls);
        EXPECT_EQ(loc.host, c.host);
        EXPECT_EQ(loc.port, c.port);
        EXPECT_EQ(loc.bucket, c.bucket);
        EXPECT_EQ(loc.prefix, c.prefix);
    }
    EXPECT_TRUE(IsRemoteLocation("s3://h/bucket"));
    EXPECT_TRUE(IsRemoteLocation("s3+http://h/bucket"));
    EXPECT_FALSE(IsRemoteLocation("/var/backups/s3://x"));
    EXPECT_FALSE(IsRemoteLocation("s3:/h/bucket"));
}

class S3Credentials_ : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* v : kVars) {
            const char* old = std::getenv(v);
            m_saved.emplace_back(v, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
            ::unsetenv(v);
        }
        ::setenv("HOME", dir.Path().c_str(), 1);
    }
    void TearDown() override
    {
        for (const auto& [k, v] : m_saved) {
            if (v) ::setenv(k.c_str(), v->c_str(), 1);
            else ::unsetenv(k.c_str());
        }
    }
    static constexpr const char* kVars[] = {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN",
                                            "AWS_DEFAULT_REGION", "AWS_REGION", "AWS_SHARED_CREDENTIALS_FILE",
                                            "AWS_PROFILE", "HOME"};
    repotest::TempDir dir;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST_F(S3Credentials_, EnvironmentFirstThenTheProfileOfTheFileElseOneLine)
{
    S3Credentials c;
    std::string error;
    EXPECT_FALSE(LoadS3Credentials(c, error));
    EXPECT_NE(error.find("no S3 credentials"), std::string::npos) << error;

    const std::string file = dir.Path() + "/creds";
    std::ofstream(file) << "# comment\n[default]\naws_access_key_id = DEF\naws_secret_access_key=defsecret\n"
                           "[other]\n aws_access_key_id=OTH \naws_secret_access_key = othsecret\nregion = eu-west-1\n";
    ::setenv("AWS_SHARED_CREDENTIALS_FILE", file.c_str(), 1);
    ASSERT_TRUE(LoadS3Credentials(c, error)) << error;
    EXPECT_EQ(c.accessKey, "DEF");
    EXPECT_EQ(c.secretKey, "defsecret");
    EXPECT_EQ(c.region, "us-east-1");
    ::setenv("AWS_PROFILE", "other", 1);
    ASSERT_TRUE(LoadS3Credentials(c, error)) << error;
    EXPECT_EQ(c.accessKey, "OTH");
    EXPECT_EQ(c.region, "eu-west-1");
    ::setenv("AWS_PROFILE", "missing", 1);
    EXPECT_FALSE(LoadS3Credentials(c, error));
    EXPECT_NE(error.find("profile 'missing'"), std::string::npos) << error;

    // The environment wins over the file, and its region over the profile's.
    ::setenv("AWS_ACCESS_KEY_ID", "ENVKEY", 1);
    EXPECT_FALSE(LoadS3Credentials(c, error)) << "a key without its secret";
    EXPECT_NE(error.find("go together"), std::string::npos) << error;
    ::setenv("AWS_SECRET_ACCESS_KEY", "envsecret", 1);
    ::setenv("AWS_DEFAULT_REGION", "ap-south-1", 1);
    ASSERT_TRUE(LoadS3Credentials(c, error)) << error;
    EXPECT_EQ(c.accessKey, "ENVKEY");
    EXPECT_EQ(c.region, "ap-south-1");

    // ~/.aws/credentials when no file is named.
    ::unsetenv("AWS_ACCESS_KEY_ID");
    ::unsetenv("AWS_SECRET_ACCESS_KEY");
    ::unsetenv("AWS_SHARED_CREDENTIALS_FILE");
    ::unsetenv("AWS_PROFILE");
    ::mkdir((dir.Path() + "/.aws").c_str(), 0700);
    std::ofstream(dir.Path() + "/.aws/credentials") << "[default]\naws_access_key_id=HOMEKEY\naws_secret_access_key=s\n";
    ASSERT_TRUE(LoadS3Credentials(c, error)) << error;
    EXPECT_EQ(c.accessKey, "HOMEKEY");
}

TEST_F(S3Credentials_, OpeningTellsTheKindOfRefusal)
{
    struct Case {
        std::string url;
        StorageError::Kind kind;
        std::string says;
    };
    const Case cases[] = {
        {"s3://host/x", StorageError::Kind::NotFound, "bucket"},
        {"s3://host/bucket", StorageError::Kind::Denied, "no S3 credentials"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        try {
            OpenObjectStore(c.url);
            ADD_FAILURE() << "opened";
        } catch (const StorageError& e) {
            EXPECT_EQ(e.kind, c.kind);
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

// Nothing listens on the port: connection refused is retried until the bound, then one line.
TEST_F(S3Credentials_, AnEndpointThatNeverAnswersFailsAfterTheRetryBound)
{
    S3Location loc;
    std::string error;
    // Port 1 on loopback: refused at once, every time.
    ASSERT_TRUE(ParseS3Url("s3+http://127.0.0.1:1/bucket", loc, error)) << error;
    S3Credentials creds{"AK", "SK", "", "us-east-1"};
    S3Options o;
    o.retrySeconds = 0.5;
    o.firstBackoff = 0.05;
    S3Store store(loc, creds, o);
    std::string data;
    try {
        store.Get("config", data);
        ADD_FAILURE() << "read from nothing";
    } catch (const StorageError& e) {
        EXPECT_EQ(e.kind, StorageError::Kind::Unavailable);
        const std::string what = e.what();
        EXPECT_NE(what.find("kept failing"), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
    EXPECT_GE(store.Counters().retries.load(), 3u) << "at least four attempts, whatever the time bound";
    EXPECT_THROW(store.Get("../escape", data), StorageError);
}

// A service that reads each request and closes without a word (as one does while
// going down) and does not speak TLS either: the plain-HTTP store looks once whether
// the port is HTTPS, finds it is not, and goes on retrying to the bound.
TEST_F(S3Credentials_, AnEndpointThatClosesWithoutAnswerIsRetriedAndLookedAtForTlsOnce)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::thread server([&] {
        while (!stop) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            const int c = ::accept(listener, nullptr, nullptr);
            if (c < 0) continue;
            char buf[65536];
            (void)::recv(c, buf, sizeof(buf), 0);  // the whole request: closing then sends FIN, not RST
            ++accepted;
            ::close(c);
        }
    });
    S3Location loc;
    std::string error;
    ASSERT_TRUE(ParseS3Url("s3+http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/bucket", loc, error));
    S3Options o;
    o.retrySeconds = 0.5;
    o.firstBackoff = 0.05;
    S3Store store(loc, S3Credentials{"AK", "SK", "", "us-east-1"}, o);
    std::string data, what;
    try {
        store.Get("config", data);
    } catch (const StorageError& e) {
        what = e.what();
    }
    // Every connection was accepted before the client saw it closed.
    stop = true;
    server.join();
    ::close(listener);
    EXPECT_NE(what.find("kept failing"), std::string::npos) << what;
    EXPECT_NE(what.find("Empty reply"), std::string::npos) << what;
    const uint64_t attempts = store.Counters().retries.load() + 1;
    EXPECT_GE(attempts, 4u);
    EXPECT_EQ(static_cast<uint64_t>(accepted.load()), attempts + 1) << "one look at TLS, not one per attempt";
}

}  // namespace
