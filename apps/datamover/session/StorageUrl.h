// Storage URLs and names as the data mover accepts them: strict checks made
// before any storage operation runs, so a bad name never reaches a tool.
// Plain functions, safe from any thread.
#pragma once
#include <cstdint>
#include <string>

namespace dmtask {

// scheme://manager/pool/name, split exactly as the plug-in splits it.
struct StrataUrl {
    std::string manager;
    std::string pool;
    std::string name;
};
// Refuses anything the plug-in would refuse, and names that are not plain
// storage names, before any storage operation runs.
bool ParseStrataUrl(const std::string& url, StrataUrl& out, std::string& error);
std::string WithName(const std::string& url, const std::string& name);
bool ValidStorageName(const std::string& name);
// ValidStorageName with the reason: "bad <what> '<name>': ..." (empty, too long, a character).
bool CheckStorageName(const std::string& what, const std::string& name, std::string& error);
// A UUID in any case; NormalVolumeId gives the lower-case form every chain is kept under.
bool ValidVolumeId(const std::string& id);
std::string NormalVolumeId(const std::string& id);
// "1073741824", "1G", "512M", "4K" (powers of 1024).
bool ParseSize(const std::string& text, uint64_t& out);

}  // namespace dmtask
