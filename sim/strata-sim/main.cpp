// strata-sim: the simulated block storage. Entered as
//   strata-sim [--root DIR] --as qrm|cli|reg -- ARGS...   (from the tool scripts)
//   strata-sim [--root DIR] admin COMMAND ...               (tests, demo, users)
//   ./strata_agent --agent-of STATEDIR                       (the agent stand-in)
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "Admin.h"
#include "SimStore.h"
#include "Tools.h"

namespace {

const char kUsage[] =
    "usage: strata-sim [--root DIR] --as qrm|cli|reg -- ARGS...\n"
    "       strata-sim [--root DIR] admin COMMAND ...   (strata-sim admin --help)\n";

// The parent of the directory that holds this program (<root>/bin/strata-sim).
std::string RootFromProgram()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        return std::string();
    }
    std::string path(buf, static_cast<size_t>(n));
    for (int i = 0; i < 2; ++i) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return std::string();
        }
        path.erase(slash);
    }
    return path.empty() ? "/" : path;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--agent-of") {
        return sim::RunAgent(args[1]);
    }
    std::string root;
    std::string personality;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--root" && i + 1 < args.size()) {
            root = args[++i];
        } else if (args[i] == "--as" && i + 1 < args.size()) {
            personality = args[++i];
        } else if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            break;
        }
    }
    if (root.empty()) {
        const char* env = std::getenv("DATAMOVER_ROOT");
        root = env != nullptr && *env != '\0' ? env : RootFromProgram();
    }
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    try {
        if (!personality.empty()) {
            if (i >= args.size() || args[i] != "--") {
                std::cerr << kUsage;
                return 2;
            }
            std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
            sim::SimStore store(root);
            return sim::RunTool(store, personality, rest);
        }
        if (i < args.size() && args[i] == "admin") {
            std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
            sim::SimStore store(root);
            return sim::RunAdmin(store, rest);
        }
        std::cerr << kUsage;
        return 2;
    } catch (const sim::SimError& e) {
        std::cerr << "strata-sim: " << e.what() << std::endl;
        return e.exitStatus;
    } catch (const std::exception& e) {
        std::cerr << "strata-sim: " << e.what() << std::endl;
        return 1;
    }
}
