// Plug-in files that exist only to exercise the factory's failure paths:
// selected at build time by TEST_PLUGIN_KIND.
#include <memory>
#include <stdexcept>

#include "foundation/DiskDescriptor.h"
#include "foundation/VolumeParas.h"

#if TEST_PLUGIN_KIND == 1
// No entry symbol at all.
extern "C" __attribute__((visibility("default"))) int SomethingElse()
{
    return 0;
}
#elif TEST_PLUGIN_KIND == 2
// An entry that reports failure with its own code.
extern "C" __attribute__((visibility("default"))) int CreateDiskDescriptor(const VolumeParas&,
                                                                           std::shared_ptr<CDiskDescriptor>&)
{
    return -7;
}
#elif TEST_PLUGIN_KIND == 3
// An entry that lets an exception out, as a careless plug-in might.
extern "C" __attribute__((visibility("default"))) int CreateDiskDescriptor(const VolumeParas& paras,
                                                                           std::shared_ptr<CDiskDescriptor>&)
{
    throw std::runtime_error("plugin exploded for " + paras._GetVolumeName());
}
#elif TEST_PLUGIN_KIND == 4
// An entry that records the offset it was handed, so tests can read it back.
extern "C" __attribute__((visibility("default"))) int CreateDiskDescriptor(const VolumeParas& paras,
                                                                           std::shared_ptr<CDiskDescriptor>& disk)
{
    disk = std::make_shared<CDiskDescriptor>(paras._GetVolumeOffsetSize(), boost::uuids::uuid());
    return 0;
}
#endif
