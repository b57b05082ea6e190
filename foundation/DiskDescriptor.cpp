#include "foundation/DiskDescriptor.h"

CDiskDescriptor::CDiskDescriptor(const uint64_t& diskSizeInBytesValue, boost::uuids::uuid guidValue,
                                 std::string str4, std::string changeIdValue, std::string diskKeyValue,
                                 std::string diskNameValue, boost::uuids::uuid uuid9)
    : diskSizeInBytes(diskSizeInBytesValue), guid(guidValue), m_str4(std::move(str4)),
      changeId(std::move(changeIdValue)), diskKey(std::move(diskKeyValue)), diskName(std::move(diskNameValue)),
      m_uuid9(uuid9)
{
}

CDiskDescriptor::~CDiskDescriptor() = default;

EnvProxyResult CDiskDescriptor::OpenDisk(bool)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::PrepareForOpenDisk()
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::OpenDisk(const std::shared_ptr<CSnapshotID>&, bool)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::CloseDisk()
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::FlushDisk()
{
    return EnvProxyResult();
}
bool CDiskDescriptor::CheckHealthStatus(std::string&)
{
    return true;
}
EnvProxyResult CDiskDescriptor::GetDirtyRanges(const std::shared_ptr<CSnapshotID>&, const std::string&, DirtyRanges&,
                                               uint64_t, uint64_t)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::CreateSnapshot(const std::string&, std::shared_ptr<CSnapshotID>&)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::DeleteSnapshot(std::shared_ptr<CSnapshotID>&, bool)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::ReadBlocks(const uint64_t&, uint64_t&, char*)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::AioReadBlocks(const uint64_t&, uint64_t&, char*, io_context_t)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::MmapReadBlocks(const uint64_t&, const uint64_t&, char*&)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::WriteBlocks(const uint64_t&, uint64_t&, char*)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::ReadBlocks(const uint64_t&, uint64_t&, char*, uint64_t&)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::WriteBlocks(const uint64_t&, uint64_t&, char*, uint64_t&)
{
    return EnvProxyResult();
}
EnvProxyResult CDiskDescriptor::CleanLeftovers(const std::string&)
{
    return EnvProxyResult();
}
std::string CDiskDescriptor::GetMetadata()
{
    return "{}";
}
void CDiskDescriptor::ExtractMetadata(const std::string&, IMetadata*) {}
void CDiskDescriptor::ReleaseBufferCache(const uint64_t&, const uint64_t&) {}
int32_t CDiskDescriptor::OpenDisk(std::shared_ptr<CommonVMHandle>&, bool, ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::OpenDisk(std::shared_ptr<CommonVMHandle>&, const std::shared_ptr<CSnapshotID>&, bool,
                                  ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::CloseDisk(ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::GetDirtyRanges(std::shared_ptr<CommonVMHandle>&, const std::shared_ptr<CSnapshotID>&,
                                        const std::string&, DirtyRanges&, uint64_t, uint64_t&, ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::CreateSnapshot(std::shared_ptr<CommonVMHandle>&, const std::string&,
                                        std::shared_ptr<CSnapshotID>&, ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::DeleteSnapshot(std::shared_ptr<CommonVMHandle>&, std::shared_ptr<CSnapshotID>&, bool,
                                        ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::ReadBlocks(const uint64_t&, uint64_t&, char*, ErrorMessage&)
{
    return 0;
}
int32_t CDiskDescriptor::WriteBlocks(const uint64_t&, uint64_t&, const char*, ErrorMessage&)
{
    return 0;
}
