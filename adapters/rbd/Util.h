// Small helpers of the adapter: programs run without a shell, FUSE mounts, names made safe for paths.
#pragma once
#include <string>
#include <vector>

namespace rbdtool {

// Runs argv[0] (searched in PATH) with these arguments, no shell; returns its exit status
// (-1 when it could not start or died of a signal). Its standard output and error go to `out`.
int RunProgram(const std::vector<std::string>& argv, std::string* out = nullptr);
// Lowercase hexadecimal of every byte: names with any characters become one path component.
std::string Hex(const std::string& s);
bool IsMounted(const std::string& mountPoint);
// Mount points of FUSE file systems under `dir` (from /proc/mounts).
std::vector<std::string> FuseMountsUnder(const std::string& dir);

}  // namespace rbdtool
