// The second volume plug-in: it serves no storage of its own and hands back a
// base descriptor whose operations are the harmless defaults.
#include <boost/uuid/nil_generator.hpp>
#include <exception>
#include <memory>
#include <new>

#include "foundation/DiskDescriptor.h"
#include "foundation/VolumeParas.h"

extern "C" __attribute__((visibility("default"))) int CreateDiskDescriptor(const VolumeParas& paras,
                                                                           std::shared_ptr<CDiskDescriptor>& disk)
{
    try {
        const uint64_t size = paras._GetVolumeSize();
        disk = std::make_shared<CDiskDescriptor>(size, boost::uuids::nil_uuid(), "", "", "", paras._GetVolumeName());
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}
