// The simulator driven through the host's real command channel with the tool templates
// the plug-in uses: values that would mean something to a shell (or are no text at
// all) arrive as plain bytes, and the agent stand-in is found by the process search.
#include <gtest/gtest.h>

#include "host/RootPath.h"
#include "tests/sim/SimToolHelpers.h"

using namespace simtest;

namespace {

std::string Value(const std::vector<std::string>& lines, const std::string& key)
{
    for (const auto& l : lines) {
        if (l.compare(0, key.size() + 1, key + "=") == 0) {
            return l.substr(key.size() + 1);
        }
    }
    return "<missing>";
}

TEST(SimHostChannel, ToolTemplatesCarryHostileNamesByteForByte)
{
    SimRoot root;
    const std::string base = "sudo " + GetCorvaneRootPath("test", 0);
    const std::string attach = base + "/bin/security_sudo_qbc_cli.sh -c attachwithip -v '?' -i '?' -p ?";
    const std::string detach = base + "/bin/security_sudo_qbc_cli.sh -c detachwithip -v '?' -i '?' -p ?";
    const std::string create = base +
        "/qbctool/qrmQBCTool.sh --op createBitmapVolume --staIp '?' --snapNameFrom '?' --snapNameTo '?' "
        "--strataFloatIP '?' --volName '?' --poolId '?'";
    const std::vector<std::string> names = {"it's", "a;b|c&d", "$(touch pwned)", "`id`", "two words", "-dash",
                                            "glob*?", "new\nline", "'; rm -rf / #", "\"quoted\"", "../../escape",
                                            std::string("bin\xff\xfe\x01") + "\t\"end"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        root.CreateVolume(name, 1u << 20);
        std::vector<std::string> out;
        EXPECT_EQ(0, Exec(attach, {name, "10.0.0.1", "pool 'x'"}, out));
        EXPECT_EQ("0", Value(out, "ret_code"));
        // Device nodes stay inside the state directory whatever the name.
        const std::string dev = Value(out, "dev_addr");
        EXPECT_EQ(root.StateDir() + "/dev", dev.substr(0, dev.rfind('/')));
        EXPECT_TRUE(root.State().IsAttached(name));
        EXPECT_EQ(0, Exec(create, {"127.0.0.1", "", name, "10.0.0.1", name + "#bm", "p"}, out));
        EXPECT_EQ("0", Value(out, "ResultCode"));
        EXPECT_EQ(0, Exec(detach, {name, "10.0.0.1", "pool 'x'"}, out));
        EXPECT_EQ("0", Value(out, "ret_code"));
    }
    std::vector<SimCall> calls = root.Calls();
    ASSERT_EQ(names.size() * 3, calls.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ((std::vector<std::string>{"-c", "attachwithip", "-v", names[i], "-i", "10.0.0.1", "-p", "pool 'x'"}),
                  calls[i * 3].args);
        EXPECT_EQ("attach", calls[i * 3].op);
        EXPECT_EQ(names[i] + "#bm", calls[i * 3 + 1].args.at(11));
        EXPECT_EQ("", calls[i * 3 + 1].args.at(5));
    }
    EXPECT_NE(0, access((root.Root() + "/pwned").c_str(), F_OK));
    EXPECT_NE(0, access((root.StateDir() + "/escape").c_str(), F_OK));
    EXPECT_TRUE(root.State().attachments.empty());
}

}  // namespace
