// Which backups of one chain a retention policy keeps. A backup that a kept
// backup's restore reads (its parent, the parent's parent, ...) is always kept,
// so applying a decision never breaks a kept backup's chain.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace retention {

struct Policy {
    int keepLast = 0;    // the newest N backups
    int keepDaily = 0;   // the newest backup of each of the last N days (UTC) that have one
    int keepWeekly = 0;  // the same per week (Monday to Sunday, UTC)
    bool Empty() const { return keepLast <= 0 && keepDaily <= 0 && keepWeekly <= 0; }
};

struct Item {
    std::string id;
    std::string parent;  // empty for a full backup
    int64_t createdAt = 0;      // seconds (UTC), for days and weeks
    int64_t createdMicros = 0;  // orders backups; 0: createdAt's second
};

struct Decision {
    std::string id;
    bool keep = false;
    std::string reason;  // "last", "daily", "weekly", "needed by ID" or "not kept by the policy"
};

// One decision per item, newest first. Backups of one instant order children
// before parents (a child is always the newer).
std::vector<Decision> Decide(const std::vector<Item>& items, const Policy& policy);
// The ids to remove in an order that removes every child before its parent.
std::vector<std::string> RemovalOrder(const std::vector<Item>& items, const std::vector<Decision>& decisions);

}  // namespace retention
