#include "host/SecureMem.h"

#include <cerrno>
#include <cstring>

void SecureWipe(void* p, size_t len)
{
    if (p != nullptr && len > 0) {
        explicit_bzero(p, len);
    }
}

void cleanMemoryPwd(std::string& pwd)
{
    // The capacity may hold copies of earlier, longer contents too.
    if (pwd.capacity() > 0) {
        SecureWipe(&pwd[0], pwd.capacity());
    }
    pwd.clear();
}

int memcpy_s(void* dest, size_t destMax, const void* src, size_t count)
{
    if (dest == nullptr || src == nullptr) {
        return EINVAL;
    }
    if (count > destMax) {
        return ERANGE;
    }
    std::memcpy(dest, src, count);
    return 0;
}

int memmove_s(void* dest, size_t destMax, const void* src, size_t count)
{
    if (dest == nullptr || src == nullptr) {
        return EINVAL;
    }
    if (count > destMax) {
        return ERANGE;
    }
    std::memmove(dest, src, count);
    return 0;
}

int memset_s(void* dest, size_t destMax, int c, size_t count)
{
    if (dest == nullptr) {
        return EINVAL;
    }
    if (count > destMax) {
        return ERANGE;
    }
    std::memset(dest, c, count);
    return 0;
}
