// Helpers shared by the benchmark programs (and the end-to-end test that reads
// through O_DIRECT): page-aligned buffers, medians and goal ratios.
#pragma once
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace benchutil {

// A 4 KiB-aligned buffer, as O_DIRECT needs; data is null when allocation failed.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t bytes)
    {
        void* p = nullptr;
        if (::posix_memalign(&p, 4096, bytes) == 0) {
            data.reset(static_cast<char*>(p));
        }
    }
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> data;
};

// Upper median of the samples, or 0 when there are none.
inline double MedianOf(std::vector<double> samples)
{
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// One "RATIO" line: subject / baseline against its goal, or n/a when either did not run.
inline void PrintRatio(const char* label, double subject, double baseline, double goal)
{
    if (subject <= 0 || baseline <= 0) {
        std::printf("RATIO %-40s n/a (a benchmark did not run)\n", label);
        return;
    }
    double r = subject / baseline;
    std::printf("RATIO %-40s %.3f (goal >= %.2f) %s\n", label, r, goal, r >= goal ? "MET" : "MISSED");
}

}  // namespace benchutil
