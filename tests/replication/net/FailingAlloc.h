// Allocation failure on demand for the networking tests: the global operator
// new of this test binary can be told to fail the n-th allocation made by the
// calling thread, so that every allocation point of a call can be tried.
#pragma once
#include <gtest/gtest.h>

#include <string>

namespace failalloc {

// Arms a failure of the n-th allocation (0 = the next one) made by this
// thread; the others succeed. Disarm() stops counting.
void FailNth(long n);
void Disarm();
// True when the armed failure happened since FailNth.
bool Fired();

// For n = 0, 1, ...: `setUp`, then `call` with the n-th allocation of this
// thread failing, then `check(fired)`; ends after the first run in which no
// allocation failed. No exception may leave `call`.
template <typename SetUp, typename Call, typename Check>
void ForEachFailure(SetUp setUp, Call call, Check check)
{
    for (long n = 0; n < 1000; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        setUp();
        FailNth(n);
        EXPECT_NO_THROW(call());  // catches everything, so Disarm always runs
        const bool fired = Fired();
        Disarm();
        check(fired);
        if (!fired) {
            return;
        }
    }
    ADD_FAILURE() << "every run had a failing allocation";
}

}  // namespace failalloc
