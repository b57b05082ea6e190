// Worker pool of the replication runtime: a fixed set of threads takes work
// items from one FIFO queue; an item's reply runs on the same worker right
// after it. Any thread may post, start and stop. An exception escaping an
// item or reply is logged and the worker goes on.
#pragma once
#include <any>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// What a work item produces and its reply receives; its meaning belongs to
// the users of the pool.
struct PendingTaskResult {
    int32_t code = 0;
    std::any value;
};

struct PendingTask {
    std::function<PendingTaskResult()> func;
    std::function<int32_t(PendingTaskResult&)> reply;  // empty for a plain task
    // Carried with the task for its users; the pool neither sets nor reads them.
    std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds> timestamp{};
    int64_t tag = 0;
};

class ReplicateThreadPool {
public:
    ReplicateThreadPool() = default;
    ReplicateThreadPool(const ReplicateThreadPool&) = delete;
    ReplicateThreadPool& operator=(const ReplicateThreadPool&) = delete;
    // Stops (joining the workers); queued items are discarded.
    virtual ~ReplicateThreadPool();

    // Starts `threads` workers; true when running (a second Start adds none).
    bool Start(int32_t threads);
    // Lets running items finish and ends every worker; queued items stay
    // queued for a later Start. Safe to call more than once.
    void Stop();
    virtual void PostTask(std::function<PendingTaskResult()> func);
    virtual void PostTaskAndReply(std::function<PendingTaskResult()> func,
                                  std::function<int32_t(PendingTaskResult&)> reply);

    bool IsRunning();
    size_t QueuedTasks();

    // The steps of a worker, callable on their own.
    bool PushTask(PendingTask& task);
    bool PopTaskAndWait(PendingTask& task);
    void WorkerLoop();
    void DoWork(PendingTask& task);

private:
    void Push(PendingTask&& task);
    void RunWorker(uint64_t generation);

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<PendingTask> m_tasks;
    std::vector<std::shared_ptr<std::thread>> m_workers;
    bool running = false;
    // Bumped by every Start, so that a worker of an earlier run that wakes
    // after a quick Stop and Start still ends.
    uint64_t m_generation = 0;
};
