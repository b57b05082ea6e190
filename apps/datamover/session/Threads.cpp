#include "apps/datamover/session/Threads.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/Task.h"

namespace dmtask {

uint64_t NowMicros()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

double SecondsSince(uint64_t startMicros)
{
    return static_cast<double>(NowMicros() - startMicros) / 1e6;
}

AlignedBuffer::AlignedBuffer(size_t size)
{
    if (::posix_memalign(&ptr, 4096, size) != 0) ptr = nullptr;
}

AlignedBuffer::~AlignedBuffer()
{
    std::free(ptr);
}

bool RunOnThreads(const CommandContext& ctx, const char* label, int depth, size_t count, size_t bufferSize,
                  uint64_t total, const std::atomic<uint64_t>& done,
                  const std::function<bool(size_t k, char* buffer, std::string& err)>& work, std::string& error)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{depth};
    std::mutex errorMutex;
    // The last worker wakes the waiter at once: a fixed poll would add up to
    // its period to every phase.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    auto fail = [&](const std::string& why) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (error.empty()) error = why;
        stop = true;
    };
    auto worker = [&]() {
        AlignedBuffer buffer(bufferSize);
        std::string err = buffer.data() == nullptr ? "out of memory" : "";
        while (err.empty() && !stop.load()) {
            size_t k = next++;
            if (k >= count) break;
            if (!work(k, buffer.data(), err)) {
                if (err.empty()) err = "block " + std::to_string(k) + " failed";  // never a silent stop
                break;
            }
        }
        if (!err.empty()) fail(err);
        std::lock_guard<std::mutex> lock(doneMutex);
        --running;
        doneCv.notify_all();
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < depth; ++i) threads.emplace_back(worker);
    Progress progress(ctx, label, total);
    for (;;) {
        if (Interrupted()) fail("interrupted");
        progress.Update(done.load());
        std::unique_lock<std::mutex> lock(doneMutex);
        if (doneCv.wait_for(lock, std::chrono::milliseconds(50), [&]() { return running.load() == 0; })) break;
    }
    for (auto& t : threads) t.join();
    progress.Finish();
    std::lock_guard<std::mutex> lock(errorMutex);
    return error.empty();
}

}  // namespace dmtask
