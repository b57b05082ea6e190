#include "replication/memory/PoolCallbacks.h"

#include <exception>

#include "foundation/LogProxy.h"

void PoolCallbacks::RunAll(List& list, const char* module)
{
    for (auto& callback : list) {
        if (!callback) {
            continue;
        }
        // Callbacks run from frees, often inside a shared pointer's deleter,
        // where an escaping exception would end the process.
        try {
            callback();
        } catch (const std::exception& e) {
            LOG_STREAM_M(4, module) << "Memory pool callback failed: " << e.what();
        } catch (...) {
            LOG_STREAM_M(4, module) << "Memory pool callback failed: unknown exception";
        }
    }
}
