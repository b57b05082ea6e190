#include "replication/memory/ReplicateThreadPool.h"

#include <exception>
#include <typeinfo>

#include "foundation/LogProxy.h"

namespace {
const char MODULE_NAME[] = "ReplicateThreadPool";
}  // namespace

// Lines of the pool carry request identifier 0, whatever the caller's.
#define POOL_LOG(level)                                                                               \
    if (!LogLevelEnabled(level)) {                                                                    \
    } else                                                                                            \
        LogProxy((level), MODULE_NAME, 0, GetFunctionName(__PRETTY_FUNCTION__), __LINE__)

ReplicateThreadPool::~ReplicateThreadPool()
{
    Stop();
    // Only a worker destroying its own pool leaves a thread here; detached
    // rather than left joinable, which would end the process.
    for (auto& worker : m_workers) {
        if (worker && worker->joinable()) {
            worker->detach();
        }
    }
}

bool ReplicateThreadPool::Start(int32_t threads)
{
    POOL_LOG(2) << "Enter ReplicateThreadPool start. threads=" << threads;
    if (threads < 1) {
        POOL_LOG(4) << "ReplicateThreadPool is running";
        return false;
    }
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (running) {
            POOL_LOG(3) << "The replicate thread pool was running";
            return true;
        }
        running = true;
        uint64_t generation = ++m_generation;
        try {
            for (int32_t i = 0; i < threads; ++i) {
                m_workers.push_back(std::make_shared<std::thread>([this, generation] { RunWorker(generation); }));
            }
        } catch (const std::exception& e) {
            POOL_LOG(4) << "Create trhead failed." << e.what();
            lock.unlock();
            Stop();
            return false;
        }
    }
    POOL_LOG(2) << "ReplicateThreadPool start complete. threads=" << threads;
    return true;
}

void ReplicateThreadPool::Stop()
{
    std::vector<std::shared_ptr<std::thread>> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        running = false;
        m_cond.notify_all();
        // Taken out under the lock, so that two Stops never join one thread.
        workers.swap(m_workers);
    }
    std::shared_ptr<std::thread> self;
    for (auto& worker : workers) {
        if (!worker || !worker->joinable()) {
            continue;
        }
        if (worker->get_id() == std::this_thread::get_id()) {
            self = worker;  // Stop from a work item: this worker ends after it
        } else {
            worker->join();
        }
    }
    if (self) {
        // Left for the next Stop (or the destructor) to join.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_workers.push_back(self);
    }
}

void ReplicateThreadPool::PostTask(std::function<PendingTaskResult()> func)
{
    PendingTask task;
    task.func = std::move(func);
    Push(std::move(task));
}

void ReplicateThreadPool::PostTaskAndReply(std::function<PendingTaskResult()> func,
                                           std::function<int32_t(PendingTaskResult&)> reply)
{
    PendingTask task;
    task.func = std::move(func);
    task.reply = std::move(reply);
    Push(std::move(task));
}

bool ReplicateThreadPool::PushTask(PendingTask& task)
{
    PendingTask copy(task);
    Push(std::move(copy));
    return true;
}

void ReplicateThreadPool::Push(PendingTask&& task)
{
    POOL_LOG(0) << "wakeup thread pool, task.func is " << task.func.target_type().name();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_cond.notify_one();
}

bool ReplicateThreadPool::PopTaskAndWait(PendingTask& task)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_tasks.empty()) {
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
        return true;
    }
    m_cond.wait(lock);
    return false;
}

void ReplicateThreadPool::WorkerLoop()
{
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        generation = m_generation;
    }
    RunWorker(generation);
}

void ReplicateThreadPool::RunWorker(uint64_t generation)
{
    // One lock per pass: test that this run is still on and take the next
    // item (or wait once, then test again).
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (!running || m_generation != generation) {
            return;
        }
        if (m_tasks.empty()) {
            m_cond.wait(lock);
            continue;
        }
        PendingTask task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        DoWork(task);
        lock.lock();
    }
}

void ReplicateThreadPool::DoWork(PendingTask& task)
{
    OruTSP::reset(0);
    // An escaping exception would end the process: log it and go on.
    PendingTaskResult result;
    try {
        result = task.func();
    } catch (const std::exception& e) {
        POOL_LOG(4) << "Work item threw an exception: " << e.what();
        return;
    } catch (...) {
        POOL_LOG(4) << "Work item threw an exception: unknown exception";
        return;
    }
    if (!task.reply) {
        return;
    }
    try {
        task.reply(result);
    } catch (const std::exception& e) {
        POOL_LOG(4) << "Reply threw an exception: " << e.what();
    } catch (...) {
        POOL_LOG(4) << "Reply threw an exception: unknown exception";
    }
}

bool ReplicateThreadPool::IsRunning()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return running;
}

size_t ReplicateThreadPool::QueuedTasks()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tasks.size();
}
