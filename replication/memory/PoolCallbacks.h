// Callbacks of allocators that would not wait: every pool keeps one list under
// its own mutex, hands the whole list out on each free and runs it after the
// mutex is released, so a callback may allocate from the same pool again.
#pragma once
#include <functional>
#include <vector>

class PoolCallbacks {
public:
    using List = std::vector<std::function<void()>>;

    // Caller holds the pool's mutex.
    void Add(std::function<void()> callback) { m_list.push_back(std::move(callback)); }
    size_t Size() const { return m_list.size(); }
    // Empties the registered list into `out` (caller holds the pool's mutex).
    void TakeAll(List& out)
    {
        out.clear();
        out.swap(m_list);
    }

    // Runs the non-empty callbacks in registration order; called with no lock
    // held. A throwing callback is logged under `module` and the rest still run.
    static void RunAll(List& list, const char* module);

private:
    List m_list;
};
