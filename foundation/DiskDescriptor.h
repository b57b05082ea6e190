// The polymorphic handle through which the host works on one volume. Every
// operation has a harmless default; plug-ins override what they support. The
// virtual slot order is part of the plug-in contract: do not reorder.
// Held by the host through std::shared_ptr; driven by one task thread at a time.
#pragma once
#include <libaio.h>

#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/EnvProxyResult.h"
#include "host/HostTypes.h"

class DiskDeviceFile;
class DirtyRanges;
class CommonVMHandle;

class CDiskDescriptor {
public:
    CDiskDescriptor(const uint64_t& diskSizeInBytes, boost::uuids::uuid guid, std::string str4 = "",
                    std::string changeIdValue = "", std::string diskKeyValue = "", std::string diskNameValue = "",
                    boost::uuids::uuid uuid9 = boost::uuids::uuid());
    // Slots 0 and 1.
    virtual ~CDiskDescriptor();

    virtual void Init() {}                                                               // 2
    virtual EnvProxyResult OpenDisk(bool readOnly);                                      // 3
    virtual EnvProxyResult PrepareForOpenDisk();                                         // 4
    virtual EnvProxyResult OpenDisk(const std::shared_ptr<CSnapshotID>& snapshot, bool readOnly);  // 5
    virtual EnvProxyResult CloseDisk();                                                  // 6
    virtual EnvProxyResult FlushDisk();                                                  // 7
    virtual bool CheckHealthStatus(std::string& errorText);                              // 8
    virtual EnvProxyResult GetDirtyRanges(const std::shared_ptr<CSnapshotID>& snapshot,
                                          const std::string& previousChangeId, DirtyRanges& ranges,
                                          uint64_t startOffset, uint64_t length);  // 9
    virtual EnvProxyResult CreateSnapshot(const std::string& name, std::shared_ptr<CSnapshotID>& snapshot);  // 10
    virtual EnvProxyResult DeleteSnapshot(std::shared_ptr<CSnapshotID>& snapshot, bool flag);               // 11
    virtual EnvProxyResult ReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer);              // 12
    virtual EnvProxyResult AioReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer,
                                         io_context_t ctx);  // 13
    virtual EnvProxyResult MmapReadBlocks(const uint64_t& offset, const uint64_t& length, char*& mapped);  // 14
    virtual EnvProxyResult WriteBlocks(const uint64_t& offset, uint64_t& length, char* buffer);           // 15
    virtual EnvProxyResult ReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer,
                                      uint64_t& extra);  // 16
    virtual EnvProxyResult WriteBlocks(const uint64_t& offset, uint64_t& length, char* buffer,
                                       uint64_t& extra);                                  // 17
    virtual EnvProxyResult CleanLeftovers(const std::string& cachedData);                 // 18
    virtual std::string GetMetadata();                                                    // 19
    virtual void ExtractMetadata(const std::string& text, IMetadata* metadata);           // 20
    virtual void ReleaseBufferCache(const uint64_t& offset, const uint64_t& length);      // 21
    virtual int32_t OpenDisk(std::shared_ptr<CommonVMHandle>& handle, bool readOnly, ErrorMessage& error);  // 22
    virtual int32_t OpenDisk(std::shared_ptr<CommonVMHandle>& handle, const std::shared_ptr<CSnapshotID>& snapshot,
                             bool readOnly, ErrorMessage& error);  // 23
    virtual int32_t CloseDisk(ErrorMessage& error);               // 24
    virtual int32_t GetDirtyRanges(std::shared_ptr<CommonVMHandle>& handle, const std::shared_ptr<CSnapshotID>& snapshot,
                                   const std::string& previousChangeId, DirtyRanges& ranges, uint64_t startOffset,
                                   uint64_t& length, ErrorMessage& error);  // 25
    virtual int32_t CreateSnapshot(std::shared_ptr<CommonVMHandle>& handle, const std::string& name,
                                   std::shared_ptr<CSnapshotID>& snapshot, ErrorMessage& error);  // 26
    virtual int32_t DeleteSnapshot(std::shared_ptr<CommonVMHandle>& handle, std::shared_ptr<CSnapshotID>& snapshot,
                                   bool flag, ErrorMessage& error);  // 27
    virtual int32_t ReadBlocks(const uint64_t& offset, uint64_t& length, char* buffer, ErrorMessage& error);  // 28
    virtual int32_t WriteBlocks(const uint64_t& offset, uint64_t& length, const char* buffer,
                                ErrorMessage& error);  // 29

    uint64_t getDiskSizeInBytes() const { return diskSizeInBytes; }
    void setDiskSizeInBytes(uint64_t size) { diskSizeInBytes = size; }
    void setGUID(const boost::uuids::uuid& id) { guid = id; }
    std::string getDiskName() const { return diskName; }
    void setDiskName(const std::string& name) { diskName = name; }
    void setDiskKey(const std::string& key) { diskKey = key; }
    void setChageId(const std::string& id) { changeId = id; }

protected:
    std::shared_ptr<DiskDeviceFile> diskDeviceFile;
    uint64_t diskSizeInBytes;
    boost::uuids::uuid guid;
    std::string m_str4;
    std::string changeId;
    std::string m_snapshotKind = "ORU_FULL_SNAPSHOT";
    std::string diskKey;
    std::string diskName;
    boost::uuids::uuid m_uuid9;
    std::string m_str10;
    std::string m_str11;
    int32_t m_int12 = -1;
    int32_t m_int13 = 0;
    int32_t m_int14 = 1000;
    std::string m_str15;
    std::string m_str16;
    std::string m_str17 = "false";
    std::string m_str18;
    uint32_t m_uint19 = 1;
    bool m_flag20 = false;
    std::string m_str21;
    uint32_t m_uint22 = 2;
    std::string m_str23;
    bool m_flag24 = false;
    bool m_flag25 = false;
    std::string m_str26;
    std::string m_str27;
    std::string m_str28;
};
