#include "foundation/OruSleep.h"

#include <cstring>

#include "host/HostClock.h"

void oru_sleep(const timespec& duration)
{
    Oru::GetClock().Sleep(duration);
}

void oru_sleep(unsigned int seconds)
{
    oru_sleep(timespec{static_cast<time_t>(seconds), 0});
}

std::string oru_errstr(int err)
{
    char buf[1024];
    buf[0] = '\0';
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text != nullptr ? std::string(text) : std::string();
}
