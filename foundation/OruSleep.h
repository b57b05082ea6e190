// Sleeping and errno text. Sleeps go through the host clock, so a virtual clock
// in tests makes them instant. Both are safe from any thread.
#pragma once
#include <ctime>
#include <string>

// Sleeps tv_sec seconds plus tv_nsec nanoseconds; not cut short by signals.
void oru_sleep(const timespec& duration);
void oru_sleep(unsigned int seconds);
// Thread-safe text of an errno value; empty when the system has none.
std::string oru_errstr(int err);
