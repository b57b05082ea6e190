#include <gtest/gtest.h>

#include "foundation/EnvProxyResult.h"
#include "foundation/JsonUtils.h"
#include "foundation/VolumeParas.h"
#include "host/testing/Fakes.h"

namespace {
using testing_fakes::VirtualClock;

// Every form prefixes the time; the three-string form stops at its first empty string.
TEST(EnvProxyResult, DetailFormsPrefixTheTime)
{
    VirtualClock clock(1000000, 1234567890);
    EnvProxyResult r;
    r.AddDetail(MSG_OPEN_DISK_FAILED, "", "b", "c");
    r.AddDetail(MSG_OPEN_DISK_FAILED, "a", "", "c");
    r.AddDetail(MSG_OPEN_DISK_FAILED, "a", "b", "");
    r.AddDetail(MSG_OPEN_DISK_FAILED, "a", "b", "c");
    r.AddDetail(MSG_TRANSFER_MODE, std::vector<std::string>{"LAN-Free", ""});
    message m(MSG_READ_FAILED);
    m.params = {"x", "y"};
    r.AddDetail(m);
    const std::string t = "1234567890";
    const std::vector<std::vector<std::string>> want = {{t}, {t, "a"}, {t, "a", "b"}, {t, "a", "b", "c"},
                                                        {t, "LAN-Free", ""}, {t, "x", "y"}};
    ASSERT_EQ(r.details.size(), want.size());
    size_t i = 0;
    for (const auto& d : r.details) {
        EXPECT_EQ(d.params, want[i++]) << i;
    }
    EXPECT_EQ(r.details.front().code, MSG_OPEN_DISK_FAILED);
    EXPECT_EQ(r.details.back().code, MSG_READ_FAILED);
}

// += takes the other's code (0 too) and details, but not from itself, and drops
// the merged messages; Add never changes the code and may double itself.
TEST(EnvProxyResult, PlusEqualsTakesTheCodeAddNeverDoes)
{
    EnvProxyResult a(ENV_PROXY_READ_FAILED);
    a.AddDetail(MSG_READ_FAILED, "x");
    a += a;
    EXPECT_EQ(a.completeCode, ENV_PROXY_READ_FAILED);
    EXPECT_EQ(a.details.size(), 1u);

    EnvProxyResult ok;  // code 0 is taken too
    a += ok;
    EXPECT_EQ(a.completeCode, ENV_PROXY_SUCCESS);
    EXPECT_EQ(a.details.size(), 1u);

    EnvProxyResult b(ENV_PROXY_WRITE_FAILED);
    b.AddDetail(MSG_WRITE_FAILED, "w");
    b.mergedMessages.push_back(message(1));
    a += b;
    EXPECT_EQ(a.completeCode, ENV_PROXY_WRITE_FAILED);
    EXPECT_EQ(a.details.size(), 2u);
    EXPECT_TRUE(a.mergedMessages.empty());

    EnvProxyResult added;
    EnvProxyResult c(ENV_PROXY_OPEN_DISK_FAILED);
    c.AddDetail(MSG_OPEN_DISK_FAILED, "p");
    c.mergedMessages.push_back(message(7));
    added.Add(c);
    EXPECT_EQ(added.completeCode, ENV_PROXY_SUCCESS);
    EXPECT_EQ(added.mergedMessages.size(), 1u);
    added.Add(added);  // doubling itself is well-defined
    EXPECT_EQ(added.details.size(), 2u);
    EXPECT_EQ(added.mergedMessages.size(), 2u);
}

// Whatever the reader collected, the text written is the fast writer's, so
// it parses again (a comment must never swallow the rest of a one-line text).
TEST(CJsonUtils, WritesExactlyWhatTheFastWriterWrites)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter fast;
#pragma GCC diagnostic pop
    fast.omitEndingLineFeed();
    const char* texts[] = {
        "{\"Type\": 1, \"Code\": 72479277076, \"Parameters\": [\"a b\"]}",
        "// head\n{\"a\": 1 // tail\n, \"b\": [2, /* mid */ 3], \"c\": {}}",
        "[\"caf\u00e9 \u00fc \u4e2d \U0001F600\", \"\\u0001\\t\\\"\", []]",
        "{\"d\": 0.1, \"e\": -1e300, \"f\": 18446744073709551615, \"g\": -9223372036854775808, \"h\": null}",
        "\"\xff\xfe broken utf-8\"",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        Json::Value v;
        ASSERT_TRUE(CJsonUtils::StringToJson(text, v));
        const std::string out = CJsonUtils::JsonToString(v);
        EXPECT_EQ(out, fast.write(v));
        EXPECT_EQ(out.find_first_of("\n\x80\xff"), std::string::npos);
        Json::Value again;
        ASSERT_TRUE(CJsonUtils::StringToJson(out, again));
        EXPECT_EQ(CJsonUtils::JsonToString(again), out);  // broken UTF-8 is replaced once, then stable
    }
    // Members in name order, no blanks: what the host compares and stores.
    Json::Value v;
    ASSERT_TRUE(CJsonUtils::StringToJson(texts[0], v));
    EXPECT_EQ(CJsonUtils::JsonToString(v), "{\"Code\":72479277076,\"Parameters\":[\"a b\"],\"Type\":1}");
    EXPECT_EQ(CJsonUtils::JsonToString(Json::Value()), "null");
}

TEST(CJsonUtils, TooDeepOrHostileTextIsAFailureNeverAnException)
{
    testing_fakes::LogCapture cap;
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    Json::Value v(7);
    bool ok = true;
    EXPECT_NO_THROW(ok = CJsonUtils::StringToJson(deep, v));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(v.isNull());  // no half-built value is handed on
    EXPECT_TRUE(cap.Contains("Exceeded stackLimit", 4)) << cap.Dump();
    EXPECT_FALSE(CJsonUtils::StringToJson("{\"a\":", v));
    for (const std::string& bad : {std::string(""), std::string("\0", 1), std::string("{\"a\":1}x"),
                                   std::string(2000, '{'), std::string("[1e99999]")}) {
        EXPECT_NO_THROW(CJsonUtils::StringToJson(bad, v)) << bad;
    }
    // The deepest text the reader accepts still parses.
    const std::string limit = std::string(999, '[') + std::string(999, ']');
    EXPECT_TRUE(CJsonUtils::StringToJson(limit, v));
}
}  // namespace
