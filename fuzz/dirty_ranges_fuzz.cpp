// libFuzzer target: arbitrary bytes as a ".dirtyRanges" file, loaded and walked.
#include <cstdlib>

#include "fuzz/DirtyRangesFuzzEntry.h"
#include "host/Logger.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // Every rejected input logs; writing those lines would be most of the run.
    CLogger::GetInstance()->SetLogLevel(5);
    CLogger::GetInstance()->SetStderrLevel(5);
    dirty_ranges_fuzz::WorkDir();
    std::atexit(dirty_ranges_fuzz::Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (dirty_ranges_fuzz::RunOne(data, size) != 0) {
        std::abort();
    }
    return 0;
}
