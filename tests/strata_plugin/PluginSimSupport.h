// Integration helpers: a temporary installation root with strata-sim, descriptors
// created through the factory (which loads the built plug-in file), and the
// host's message sink.
#pragma once
#ifdef DM_HAVE_SIM_TESTING
#include <gtest/gtest.h>

#include <boost/atomic.hpp>
#include <memory>
#include <set>
#include <string>

#include "bench/BenchUtil.h"
#include "factory/DiskDescriptorFactory.h"
#include "tests/support/WaitFor.h"
#include "foundation/JsonUtils.h"
#include "host/HostMessageSink.h"
#include "host/testing/Fakes.h"
#include "tests/support/SimRoot.h"

namespace simplugin {

inline constexpr char kVolumeUuid[] = "6d1c2b3a-4f5e-4a7b-9c8d-0e1f2a3b4c5d";
inline constexpr uint64_t kHeader = 4096;  // the factory's default data-area offset
inline constexpr uint64_t MiB = 1048576ULL;

inline boost::atomics::atomic<bool>& AbortFlag()
{
    static boost::atomics::atomic<bool> flag(false);
    return flag;
}

inline VolumeParas BackupParas(DiskMessageNotify* sink, const std::string& snapshot, uint64_t dataSize)
{
    VolumeParas p;
    p.volumeID = kVolumeUuid;
    p.volumeName = "disk-under-test";
    p.volumeSize = dataSize;
    p.currentSnapshotURL = "strata://127.0.0.1/pool1/" + snapshot;
    p.parentSnapshotURL = "";
    p.isBackup = true;
    p.productStorageType = QRM_STRATA;
    p.msgNotify = sink;
    p.abortFun = []() -> boost::atomics::atomic<bool>& { return AbortFlag(); };
    return p;
}

inline VolumeParas RestoreParas(DiskMessageNotify* sink, const std::string& volume, uint64_t dataSize)
{
    VolumeParas p = BackupParas(sink, "unused", dataSize);
    p.isBackup = false;
    p.volumeURL = "strata://127.0.0.1/pool1/" + volume;
    return p;
}

inline std::shared_ptr<CDiskDescriptor> Create(const VolumeParas& p)
{
    std::shared_ptr<CDiskDescriptor> disk;
    DiskDescriptorFactory* factory = DiskDescriptorFactory::getInstance();
    if (factory == nullptr || factory->CreateDiskDescriptor(p, disk) != 0) {
        return nullptr;
    }
    return disk;
}

// An aligned buffer for direct I/O.
using benchutil::AlignedBuffer;

// Does the document still name anything to clean?
inline bool NamesVolumes(const std::string& doc)
{
    Json::Value v;
    if (!CJsonUtils::StringToJson(doc, v) || !v.isObject()) {
        return false;
    }
    for (const char* key : {"snapshot_volumes_attached", "data_volumes_attached", "bitmap_volumes_created",
                            "bitmap_volumes_attached", "data_volume_keys_registered"}) {
        if (v.isMember(key) && v[key].isArray() && !v[key].empty()) {
            return true;
        }
    }
    return false;
}

// Cleans with a fresh descriptor per call until the host's document names
// nothing (or `rounds` calls were made); events go to `sink`. Returns the last
// status, or -2 when names remain.
inline int CleanUntilEmpty(const VolumeParas& kind, std::string data, HostMessageSink& sink, int rounds = 6)
{
    int status = 0;
    for (int i = 0; i < rounds && NamesVolumes(data); ++i) {
        VolumeParas p = kind;
        p.msgNotify = &sink;
        auto d = Create(p);
        if (!d) {
            return -1;
        }
        status = d->CleanLeftovers(data)._GetCompleteCode();
        d.reset();
        std::string latest = sink.LatestCacheData();
        if (!latest.empty()) {
            data = latest;
        }
    }
    return NamesVolumes(data) ? -2 : status;
}

}  // namespace simplugin
#endif
