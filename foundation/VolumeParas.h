// Records that cross the boundary between the host and a volume plug-in:
// the volume parameters of one task, the abort flag accessor and the storage
// type used by the factory. Plain copyable values; the sink is borrowed.
#pragma once
#include <boost/atomic.hpp>
#include <boost/function.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "host/DiskMessageNotify.h"

// Yields the task's abort flag; the flag is the host's and outlives the task.
using AbortFunc = boost::function<boost::atomics::atomic<bool>&()>;

enum ProductStorageType : int32_t {
    QRM_STRATA = 0,
    KVM_STRATA = 1,
    XDS = 2,
    KVM_T9 = 3,
    QRM_T9 = 4,
    QRM_T9_RDM = 5,
    QRM_STRATA_RDM = 6,
};

struct VolumeParas {
    uint64_t volumeOffsetSize = 0;
    std::string volumeID;
    std::string volumeName;
    std::string volumeThirdString;
    uint64_t volumeSize = 0;
    std::string currentSnapshotURL;
    std::string parentSnapshotURL;
    std::string volumeURL;
    bool isBackup = true;
    std::vector<std::string> stringList;
    ProductStorageType productStorageType = QRM_STRATA;
    DiskMessageNotify* msgNotify = nullptr;
    int32_t newVolumeOffsetSize = -1;
    std::string trailing1;
    std::string trailing2;
    std::string trailing3;
    AbortFunc abortFun;

    uint64_t _GetVolumeOffsetSize() const { return volumeOffsetSize; }
    std::string _GetVolumeID() const { return volumeID; }
    std::string _GetVolumeName() const { return volumeName; }
    uint64_t _GetVolumeSize() const { return volumeSize; }
    std::string _GetCurrentSnapshotURL() const { return currentSnapshotURL; }
    std::string _GetParentSnapshotURL() const { return parentSnapshotURL; }
    std::string _GetVolumeURL() const { return volumeURL; }
    bool _GetIsBackup() const { return isBackup; }
    DiskMessageNotify* _GetMsgNotify() const { return msgNotify; }
    AbortFunc _GetAbortFun() const { return abortFun; }
};
