// The process-wide entry through which the host obtains a disk descriptor: it
// dispatches on the storage type, loads the matching plug-in from the
// installation's library directory once, and calls the plug-in's C entry with
// a copy of the volume parameters carrying the data-area offset.
// Thread-safe: getInstance from any thread; loads are serialised by a mutex and
// each plug-in file is opened at most once per factory.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/DiskDescriptor.h"
#include "foundation/VolumeParas.h"

// The C entry every plug-in exports as "CreateDiskDescriptor".
typedef int (*PluginCreateFunc)(const VolumeParas&, std::shared_ptr<CDiskDescriptor>&);

class DiskDescriptorFactory {
public:
    using CreateFunc = int (DiskDescriptorFactory::*)(const VolumeParas&, std::shared_ptr<CDiskDescriptor>&);

    // The singleton, or null when it could not be allocated (a later call retries).
    static DiskDescriptorFactory* getInstance();

    virtual ~DiskDescriptorFactory();
    // 0 and a descriptor, the plug-in's own result, or -1.
    virtual int CreateDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);

    int LoadPlugin(const std::string& path, void*& handle);
    int GetCreateFunction(const std::string& path, PluginCreateFunc& func);

    int CreateQRMStrataDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateKVMStrataDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateXDSDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateKVMT9DiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateQRMT9DiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateQRMT9RDMDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateQRMStrataRDMDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);
    int CreateNOTSUPPORTDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk);

    // Number of plug-in files opened so far (for diagnostics and tests).
    size_t LoadedPluginCount();

protected:
    DiskDescriptorFactory();

private:
    // How a row computes the data-area offset handed to the plug-in.
    enum class OffsetRule { Default4K, Default0, Default2M, AlwaysZero };
    int CreateFromPlugin(const char* pluginFile, OffsetRule rule, const VolumeParas& paras,
                         std::shared_ptr<CDiskDescriptor>& disk);

    std::map<ProductStorageType, CreateFunc> createFuncMap;
    std::map<std::string, void*> pluginHandleMap;
    std::mutex m_mutex;

    static DiskDescriptorFactory* s_instance;
    static std::mutex s_mutex;
};
