// What every descriptor operation returns: a completion code and the detail
// messages the host shows to the user, each stamped with the time it was
// recorded. Plain copyable values, used by one thread at a time.
#pragma once
#include <cstdint>
#include <list>
#include <string>
#include <vector>

enum EnvProxyStatus : int32_t {
    ENV_PROXY_SUCCESS = 0,
    ENV_PROXY_INIT_FAILED = 1,
    ENV_PROXY_GET_DIRTY_RANGES_FAILED = 13,
    ENV_PROXY_OPEN_DISK_FAILED = 21,
    ENV_PROXY_CLOSE_DISK_FAILED = 22,
    ENV_PROXY_READ_FAILED = 24,
    ENV_PROXY_WRITE_FAILED = 25,
    ENV_PROXY_CLEAN_LEFTOVERS_FAILED = 61,
};

// Detail codes recorded by this library.
enum : uint64_t {
    MSG_OPEN_DISK_FAILED = 20087,
    MSG_CLOSE_DISK_FAILED = 20089,
    MSG_TRANSFER_MODE = 20100,
    MSG_GET_DIRTY_RANGES_FAILED = 20148,
    MSG_READ_FAILED = 20149,
    MSG_WRITE_FAILED = 20150,
};

// Event codes and types of the "SendEvent" records.
enum : uint64_t {
    EVENT_DETACH_FAILED = 72479277076ULL,         // 0x10E01A0014
    EVENT_DELETE_BITMAP_FAILED = 72479277077ULL,  // 0x10E01A0015
    EVENT_USE_FULL_BITMAP = 17664665321473ULL,    // 0x1010E01A0001
};
enum : int32_t {
    EVENT_TYPE_RAISED = 1,
    EVENT_TYPE_CLEARED = 2,
    EVENT_TYPE_NOTICE = 4,
};

struct message {
    uint64_t code = 0;
    std::vector<std::string> params;

    message() = default;
    explicit message(uint64_t c) : code(c) {}
};

class EnvProxyResult {
public:
    EnvProxyStatus completeCode = ENV_PROXY_SUCCESS;
    std::list<message> mergedMessages;
    std::string resultText;
    std::list<message> details;

    EnvProxyResult() = default;
    EnvProxyResult(EnvProxyStatus status) : completeCode(status) {}  // NOLINT: implicit by design

    EnvProxyStatus _GetCompleteCode() const { return completeCode; }
    void _SetCompleteCode(EnvProxyStatus status) { completeCode = status; }

    void AddDetail(uint64_t code, const std::vector<std::string>& params);
    void AddDetail(uint64_t code, std::string p1, std::string p2 = "", std::string p3 = "");
    void AddDetail(const message& msg);
    // Appends the other result's details and merged messages; keeps this code.
    void Add(const EnvProxyResult& other);
    // Takes the other result's code and appends its details (not for itself).
    EnvProxyResult& operator+=(const EnvProxyResult& other);

    // Time text used as the first parameter of every detail.
    static std::string TimeText();
};
