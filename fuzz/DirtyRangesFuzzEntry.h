// One fuzz input for the changed-range file reader: the bytes are loaded as a
// ".dirtyRanges" file (as given, and again with a correct checksum so that the
// table and the parts are reached), every loaded set is walked and saved back,
// and the bytes are also walked directly as LZ4 parts. Shared by the libFuzzer
// target and by the test that replays the checked-in corpus. Not thread-safe:
// one input at a time per process.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Crc32.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/DirtyRangesFormat.h"

namespace dirty_ranges_fuzz {

// Walks stop after this many steps: a valid file may name petabytes.
constexpr size_t kMaxSteps = 1 << 16;

inline const std::string& WorkDir()
{
    // Never destroyed: Cleanup runs from atexit, after static destructors may have run.
    static const std::string& dir = *new std::string([] {
        std::string tmpl = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/dr_fuzz.XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) {
            std::abort();
        }
        std::string sub = tmpl + "/SNAPS_DIR";
        if (mkdir(sub.c_str(), 0700) != 0) {
            std::abort();
        }
        return tmpl;
    }());
    return dir;
}

// Removes the work directory's files; call once at process end.
inline void Cleanup()
{
    for (const char* stem : {"in", "out"}) {
        std::remove((WorkDir() + "/SNAPS_DIR/" + stem + ".dirtyRanges").c_str());
    }
    rmdir((WorkDir() + "/SNAPS_DIR").c_str());
    rmdir(WorkDir().c_str());
}

// Walks an iterator from `make` step by step and checks that block indices
// never go down, then another run by run (ForEachBlock), which must stop at the
// same blocks; false if either fails.
template <class Make>
bool WalkChecked(const Make& make)
{
    std::vector<uint64_t> steps;
    auto it = make();
    for (; !it.End() && steps.size() < kMaxSteps; it.FindNextBlock()) {
        if (!steps.empty() && it.BlockIndex() < steps.back()) {
            return false;
        }
        steps.push_back(it.BlockIndex());
    }
    if (it.Failed() && !it.End()) {
        return false;
    }
    size_t k = 0;
    auto run = make();
    bool same = true;
    run.ForEachBlock([&](uint64_t b) {
        if (k == steps.size()) return false;
        same = same && b == steps[k++];
        return same;
    });
    return same && k == steps.size() && (steps.size() == kMaxSteps || (run.End() && run.Failed() == it.Failed()));
}

inline bool WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out.flush());
}

// Loads, walks, saves and reloads one file image; false on a broken invariant.
inline bool LoadAndWalk(const uint8_t* data, size_t size, uint64_t oddBlock)
{
    const std::string& dir = WorkDir();
    if (!WriteFile(dir + "/SNAPS_DIR/in.dirtyRanges", data, size)) {
        std::abort();
    }
    DirtyRanges set(2);
    set.Initialize(dir, "in");
    if (!set.LoadFromStorage()) {
        return set.GetParts().empty() && set.GetPartSizes().empty();
    }
    if (set.GetParts().size() != set.GetPartSizes().size()) {
        return false;
    }
    uint64_t total = 0;
    for (uint32_t s : set.GetPartSizes()) {
        total += s;
    }
    if (total + 8 + 4 * static_cast<uint64_t>(set.GetParts().size()) > size) {
        return false;  // the parts claim more than the file holds
    }
    for (uint64_t bs : {uint64_t{4194304}, uint64_t{1048576}, oddBlock}) {
        if (!WalkChecked([&] { return set.Begin(bs); })) {
            return false;
        }
    }
    // A loaded set saves again, byte for byte its table and parts.
    set.Initialize(dir, "out");
    if (!set.SaveDirtyRanges()) {
        return false;
    }
    DirtyRanges again(2);
    again.Initialize(dir, "out");
    if (!again.LoadFromStorage() || again.GetPartSizes() != set.GetPartSizes()) {
        return false;
    }
    for (size_t i = 0; i < set.GetParts().size(); ++i) {
        if (std::memcmp(set.GetParts()[i].get(), again.GetParts()[i].get(), set.GetPartSizes()[i]) != 0) {
            return false;
        }
    }
    return true;
}

// 0 when every invariant held; the libFuzzer target aborts on anything else.
inline int RunOne(const uint8_t* data, size_t size)
{
    namespace fmt = dirty_ranges_format;
    const uint64_t oddBlock = size > 0 ? 4096 + 4096 * static_cast<uint64_t>(data[size - 1]) + 17 : 4096;
    if (!LoadAndWalk(data, size, oddBlock)) {
        return 1;
    }
    if (size >= fmt::kCrcSize) {
        std::vector<uint8_t> sealed(data, data + size);
        fmt::PutLe32(sealed.data(), Crc32(sealed.data() + fmt::kCrcSize, size - fmt::kCrcSize));
        if (!LoadAndWalk(sealed.data(), sealed.size(), oddBlock)) {
            return 2;
        }
    }
    // The bytes as parts of their own: one last part, and (split in two) a
    // non-last part followed by a last one.
    if (size > 0 && size < UINT32_MAX) {
        std::shared_ptr<uint8_t> copy(new uint8_t[size], std::default_delete<uint8_t[]>());
        std::memcpy(copy.get(), data, size);
        if (!WalkChecked([&] { return DirtyRanges::iterator(oddBlock, {static_cast<uint32_t>(size)}, {copy}); })) {
            return 3;
        }
        size_t half = size / 2;
        if (half > 0) {
            DirtyRanges::PartBuffer second(copy, copy.get() + half);
            if (!WalkChecked([&] {
                    return DirtyRanges::iterator(
                        4194304, {static_cast<uint32_t>(half), static_cast<uint32_t>(size - half)}, {copy, second});
                })) {
                return 4;
            }
        }
    }
    return 0;
}

}  // namespace dirty_ranges_fuzz
