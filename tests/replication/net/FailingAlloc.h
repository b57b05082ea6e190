// Allocation failure on demand for the networking tests: the global operator
// new of this test binary can be told to fail the n-th allocation made by the
// calling thread, so that every allocation point of a call can be tried.
#pragma once

namespace failalloc {

// Arms a failure of the n-th allocation (0 = the next one) made by this
// thread; the others succeed. Disarm() stops counting.
void FailNth(long n);
void Disarm();
// True when the armed failure happened since FailNth.
bool Fired();

// Arms for its lifetime.
class Scope {
public:
    explicit Scope(long n) { FailNth(n); }
    ~Scope() { Disarm(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace failalloc
