#include "apps/datamover/session/StorageUrl.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace dmtask {

namespace {

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}


}  // namespace

bool ValidStorageName(const std::string& name)
{
    // IMAGE@SNAPSHOT names one snapshot of one image where a bare name could match several.
    const size_t at = name.find('@');
    if (at != std::string::npos) {
        const std::string snap = name.substr(at + 1);
        return snap.find('@') == std::string::npos && ValidStorageName(name.substr(0, at)) && ValidStorageName(snap);
    }
    if (name.empty() || name.size() > 128) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool CheckStorageName(const std::string& what, const std::string& name, std::string& error)
{
    if (ValidStorageName(name)) return true;
    const std::string head = "bad " + what + " '" + (name.size() > 40 ? name.substr(0, 40) + "..." : name) + "': ";
    if (name.empty()) {
        error = head + "it is empty";
    } else if (name.size() > 128) {
        error = head + "it is " + std::to_string(name.size()) + " characters long; at most 128";
    } else {
        error = head + "must be letters, digits, '.', '_' or '-' (a snapshot may be named IMAGE@SNAPSHOT)";
    }
    return false;
}

std::string NormalVolumeId(const std::string& id)
{
    std::string out = id;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool ValidVolumeId(const std::string& id)
{
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !IsHex(id[i])) return false;
    }
    return true;
}

bool ParseStrataUrl(const std::string& url, StrataUrl& out, std::string& error)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t slash = url.find('/', start);
        fields.push_back(url.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    size_t scheme = url.find("://");
    if (scheme != std::string::npos && url.compare(0, scheme, "strata") != 0) {
        error = "bad URL '" + url + "': scheme '" + url.substr(0, scheme) +
                "' is not supported; expected strata://MANAGER/POOL/NAME";
        return false;
    }
    if (fields.size() != 5 || fields[0] != "strata:" || !fields[1].empty()) {
        error = "bad URL '" + url + "': expected strata://MANAGER/POOL/NAME";
        return false;
    }
    std::string manager = fields[2];
    if (manager.size() > 2 && manager.front() == '[' && manager.back() == ']') {
        manager = manager.substr(1, manager.size() - 2);
    }
    bool managerOk = !manager.empty() && manager.size() <= 253;
    for (char c : manager) {
        managerOk = managerOk && (IsHex(c) || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '.' ||
                                  c == ':' || c == '-');
    }
    if (!managerOk) {
        error = "bad URL '" + url + "': '" + fields[2] + "' is not a manager address";
        return false;
    }
    // HOST:PORT (one colon; an IPv6 address has several): the port must be one.
    size_t colon = manager.find(':');
    if (colon != std::string::npos && manager.find(':', colon + 1) == std::string::npos) {
        const std::string port = manager.substr(colon + 1);
        bool digits = !port.empty() && port.size() <= 5 &&
                      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoul(port) < 1 || std::stoul(port) > 65535 || colon == 0) {
            error = "bad URL '" + url + "': '" + fields[2] + "' is not HOST:PORT with a port from 1 to 65535";
            return false;
        }
    }
    std::string why;
    if (fields[3].find('@') != std::string::npos) {
        why = "bad pool '" + fields[3] + "': must be letters, digits, '.', '_' or '-'";
    }
    if (!why.empty() || !CheckStorageName("pool", fields[3], why) || !CheckStorageName("name", fields[4], why)) {
        error = "bad URL '" + url.substr(0, 200) + (url.size() > 200 ? "..." : "") + "': " + why;
        return false;
    }
    out.manager = manager;
    out.pool = fields[3];
    out.name = fields[4];
    return true;
}

std::string WithName(const std::string& url, const std::string& name)
{
    size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(0, slash + 1) + name;
}

bool ParseSize(const std::string& text, uint64_t& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    size_t pos = 0;
    unsigned long long v = 0;
    try {
        v = std::stoull(text, &pos, 10);
    } catch (const std::exception&) {
        return false;
    }
    std::string suffix = text.substr(pos);
    uint64_t mult = 1;
    if (suffix == "K" || suffix == "k") mult = 1ULL << 10;
    else if (suffix == "M" || suffix == "m") mult = 1ULL << 20;
    else if (suffix == "G" || suffix == "g") mult = 1ULL << 30;
    else if (suffix == "T" || suffix == "t") mult = 1ULL << 40;
    else if (!suffix.empty()) return false;
    if (v > UINT64_MAX / mult) return false;
    out = v * mult;
    return true;
}

}  // namespace dmtask
