// rbd-tool: the storage tools of an installation root on a Ceph cluster.
//   rbd-tool [--root DIR] --as qrm|cli|reg -- ARGS...   (what the tool scripts run)
//   rbd-tool [--root DIR] admin ...                      (tests, benchmarks, demo)
//   ./strata_agent --agent-of STATE_DIR                  (the agent stand-in)
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Admin.h"
#include "Tools.h"

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 2 && a[0] == "--agent-of") return rbdtool::RunAgent(a[1]);
    std::string root, as;
    size_t i = 0;
    for (; i < a.size(); ++i) {
        if (a[i] == "--root" && i + 1 < a.size()) root = a[++i];
        else if (a[i] == "--as" && i + 1 < a.size()) as = a[++i];
        else break;
    }
    if (root.empty() && std::getenv("DATAMOVER_ROOT") != nullptr) root = std::getenv("DATAMOVER_ROOT");
    std::error_code ec;
    if (root.empty()) root = fs::canonical("/proc/self/exe", ec).parent_path().parent_path().string();
    root = fs::weakly_canonical(root, ec).string();
    const std::string self = fs::canonical("/proc/self/exe", ec).string();
    if (as.empty() && i < a.size() && a[i] == "admin") {
        return rbdtool::RunAdmin(root, self, std::vector<std::string>(a.begin() + static_cast<long>(i) + 1, a.end()));
    }
    if (i < a.size() && a[i] == "--") ++i;
    std::vector<std::string> rest(a.begin() + static_cast<long>(i), a.end());
    // Attach, detach and bitmap calls lock what they act on (one snapshot, image or bitmap
    // name), so calls about unrelated images never wait for each other.
    if (as == "qrm") return rbdtool::RunQrm(root, rest);
    if (as == "cli") return rbdtool::RunCli(root, rest);
    if (as == "reg") return rbdtool::RunReg(root, rest);
    std::cerr << "rbd-tool: usage: rbd-tool [--root DIR] --as qrm|cli|reg -- ARGS | admin ..." << std::endl;
    return 2;
}
