#include "apps/datamover/repository/Retention.h"

#include <algorithm>
#include <map>
#include <set>

namespace retention {

namespace {
int64_t DayOf(int64_t t)
{
    return t >= 0 ? t / 86400 : (t - 86399) / 86400;
}
// Day 0 (1970-01-01) was a Thursday: shifting by three makes weeks start on Monday.
int64_t WeekOf(int64_t t)
{
    int64_t d = DayOf(t) + 3;
    return d >= 0 ? d / 7 : (d - 6) / 7;
}
}  // namespace

std::vector<Decision> Decide(const std::vector<Item>& items, const Policy& policy)
{
    std::map<std::string, std::string> parentOf;
    for (const Item& it : items) parentOf[it.id] = it.parent;
    auto depth = [&parentOf](const std::string& id) {
        size_t n = 0;
        for (std::string p = parentOf[id]; !p.empty() && n <= parentOf.size(); p = parentOf[p]) ++n;
        return n;
    };
    auto micros = [](const Item& it) { return it.createdMicros != 0 ? it.createdMicros : it.createdAt * 1000000; };
    std::vector<Item> sorted = items;
    std::sort(sorted.begin(), sorted.end(), [&](const Item& a, const Item& b) {
        if (micros(a) != micros(b)) return micros(a) > micros(b);
        size_t da = depth(a.id), db = depth(b.id);
        return da != db ? da > db : a.id > b.id;
    });
    std::vector<Decision> out;
    std::map<std::string, size_t> at;
    std::set<int64_t> days, weeks;
    for (size_t i = 0; i < sorted.size(); ++i) {
        const Item& it = sorted[i];
        Decision d{it.id, false, "not kept by the policy"};
        auto keep = [&d](const char* why) {
            if (!d.keep) d.reason = why;
            d.keep = true;
        };
        if (static_cast<int>(i) < policy.keepLast) keep("last");
        // Newest first: the first backup seen of a day or week is its newest.
        if (days.count(DayOf(it.createdAt)) == 0 && static_cast<int>(days.size()) < policy.keepDaily) {
            days.insert(DayOf(it.createdAt));
            keep("daily");
        }
        if (weeks.count(WeekOf(it.createdAt)) == 0 && static_cast<int>(weeks.size()) < policy.keepWeekly) {
            weeks.insert(WeekOf(it.createdAt));
            keep("weekly");
        }
        at[it.id] = out.size();
        out.push_back(d);
    }
    // Everything a kept backup's restore reads stays.
    for (const Item& it : sorted) {
        if (!out[at[it.id]].keep) continue;
        std::string child = it.id;
        for (std::string p = parentOf[child]; !p.empty() && at.count(p) != 0; child = p, p = parentOf[p]) {
            Decision& d = out[at[p]];
            if (d.keep) break;
            d.keep = true;
            d.reason = "needed by " + child;
        }
    }
    return out;
}

std::vector<std::string> RemovalOrder(const std::vector<Item>& items, const std::vector<Decision>& decisions)
{
    std::set<std::string> removing;
    for (const Decision& d : decisions) {
        if (!d.keep) removing.insert(d.id);
    }
    std::vector<std::string> order;
    // Repeatedly take a backup no remaining backup names as its parent.
    while (!removing.empty()) {
        std::set<std::string> parents;
        for (const Item& it : items) {
            if (removing.count(it.id) != 0) parents.insert(it.parent);
        }
        std::vector<std::string> leaves;
        for (const std::string& id : removing) {
            if (parents.count(id) == 0) leaves.push_back(id);
        }
        if (leaves.empty()) break;  // a cycle cannot come from real manifests; remove nothing of it
        for (const std::string& id : leaves) {
            order.push_back(id);
            removing.erase(id);
        }
    }
    return order;
}

}  // namespace retention
