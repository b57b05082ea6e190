#include "FailingAlloc.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long t_countdown = -1;
thread_local bool t_fired = false;

// True when this allocation is the one to fail.
bool FailThisOne()
{
    if (t_countdown < 0) {
        return false;
    }
    if (t_countdown-- == 0) {
        t_fired = true;
        return true;
    }
    return false;
}

void* Allocate(std::size_t size)
{
    if (FailThisOne()) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

namespace failalloc {
void FailNth(long n)
{
    t_fired = false;
    t_countdown = n;
}
void Disarm()
{
    t_countdown = -1;
}
bool Fired()
{
    return t_fired;
}
}  // namespace failalloc

void* operator new(std::size_t size)
{
    void* p = Allocate(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
