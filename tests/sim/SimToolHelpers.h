// Runs the simulated storage's tool scripts as the host would (one argument per value,
// no shell) and splits their key=value answers.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/CommandChannel.h"
#include "tests/support/SimRoot.h"

namespace simtest {

struct ToolResult {
    int exitStatus = 0;
    std::vector<std::string> lines;
    std::map<std::string, std::string> keys;  // first '=' splits; later lines win
    std::vector<std::string> keyOrder;
    bool Has(const std::string& k) const { return keys.count(k) != 0; }
    std::string operator[](const std::string& k) const
    {
        auto it = keys.find(k);
        return it == keys.end() ? std::string() : it->second;
    }
};

inline ToolResult RunTool(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    ToolResult r;
    r.exitStatus = SimRoot::RunProgram(argv, &out);
    r.lines = SimRoot::Lines(out);
    for (const auto& line : r.lines) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            r.keys[line.substr(0, eq)] = line.substr(eq + 1);
            r.keyOrder.push_back(line.substr(0, eq));
        }
    }
    return r;
}

// A command template run through the host's own channel, as the plug-in runs it.
inline int Exec(const std::string& cmd, const std::vector<std::string>& params, std::vector<std::string>& out,
                uint64_t code = 100012)
{
    RunShellCmdInfo info;
    info.cmd = cmd;
    info.params = params;
    info.cmdCode = code;
    std::string err;
    out.clear();
    return RestToMgr::ExceSystemCmd(info, out, err);
}

inline ToolResult CreateBitmap(const SimRoot& root, const std::string& from, const std::string& to,
                               const std::string& vol, const std::string& mgr = "10.0.0.1",
                               const std::string& sta = "127.0.0.1")
{
    return RunTool(root.QrmTool(), {"--op", "createBitmapVolume", "--staIp", sta, "--snapNameFrom", from,
                                    "--snapNameTo", to, "--strataFloatIP", mgr, "--volName", vol, "--poolId",
                                    "pool0"});
}

inline ToolResult QueryBitmap(const SimRoot& root, const std::string& vol, const std::string& mgr = "10.0.0.1",
                              const std::string& sta = "127.0.0.1")
{
    return RunTool(root.QrmTool(), {"--op", "queryBitmapVolume", "--staIp", sta, "--strataFloatIP", mgr,
                                    "--volName", vol, "--poolId", "pool0"});
}

inline ToolResult DeleteVolume(const SimRoot& root, const std::string& vol)
{
    return RunTool(root.QrmTool(), {"--op", "deleteVolume", "--staIp", "127.0.0.1", "--strataFloatIP",
                                    "10.0.0.1", "--volName", vol, "--poolId", "pool0"});
}

inline ToolResult Attach(const SimRoot& root, const std::string& vol)
{
    return RunTool(root.CliTool(), {"-c", "attachwithip", "-v", vol, "-i", "10.0.0.1", "-p", "pool0"});
}

inline ToolResult Detach(const SimRoot& root, const std::string& vol)
{
    return RunTool(root.CliTool(), {"-c", "detachwithip", "-v", vol, "-i", "10.0.0.1", "-p", "pool0"});
}

inline ToolResult Reg(const SimRoot& root, const std::string& verb, const std::string& device)
{
    return RunTool(root.RegScript(), {verb, device});
}

// One call by operation name, answering its result code: "create FROM TO VOL",
// "query VOL", "delete VOL", "attach VOL", "detach VOL", "reg DEV", "unreg DEV"
// (the key script's exit status).
struct Step {
    std::string op, a, b, c;
    std::string code;  // expected
};
inline std::string CodeOf(const SimRoot& root, const Step& s)
{
    if (s.op == "create") return CreateBitmap(root, s.a, s.b, s.c)["ResultCode"];
    if (s.op == "query") return QueryBitmap(root, s.a)["ResultCode"];
    if (s.op == "delete") return DeleteVolume(root, s.a)["ResultCode"];
    if (s.op == "attach") return Attach(root, s.a)["ret_code"];
    if (s.op == "detach") return Detach(root, s.a)["ret_code"];
    return std::to_string(Reg(root, s.op, s.a).exitStatus);
}
// Runs the steps in order; each must answer its code.
inline void RunSteps(const SimRoot& root, const std::vector<Step>& steps)
{
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(CodeOf(root, steps[i]), steps[i].code) << "step " << i << ": " << steps[i].op << " " << steps[i].a;
    }
}

}  // namespace simtest
