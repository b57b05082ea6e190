#include "factory/DiskDescriptorFactory.h"

#include <dlfcn.h>

#include <exception>
#include <new>

#include "foundation/LogProxy.h"
#include "host/Logger.h"
#include "host/RootPath.h"

namespace {
const char MODULE_NAME[] = "DiskDescriptorFactory";
const char kStrataPlugin[] = "libstrata_plugin-1.0.0.so";
const char kT9Plugin[] = "libt9_plugin-1.0.0.so";
}  // namespace

// Every line of this class carries request identifier 0.
#define FACTORY_LOG(level)                                                                                 \
    if (!LogLevelEnabled(level)) {                                                                         \
    } else                                                                                                 \
        LogProxy((level), MODULE_NAME, 0, GetFunctionName(__PRETTY_FUNCTION__), __LINE__)

DiskDescriptorFactory* DiskDescriptorFactory::s_instance = nullptr;
std::mutex DiskDescriptorFactory::s_mutex;

DiskDescriptorFactory* DiskDescriptorFactory::getInstance()
{
    // Double-checked creation; the pointer is read again under the lock.
    DiskDescriptorFactory* inst = __atomic_load_n(&s_instance, __ATOMIC_ACQUIRE);
    if (inst != nullptr) {
        return inst;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_instance == nullptr) {
        DiskDescriptorFactory* created = nullptr;
        try {
            created = new (std::nothrow) DiskDescriptorFactory();
        } catch (const std::exception& e) {
            FACTORY_LOG(4) << "alloc memory for DiskDescriptorFactory instance failed! " << e.what();
            return nullptr;
        }
        if (created == nullptr) {
            FACTORY_LOG(4) << "alloc memory for DiskDescriptorFactory instance failed!";
            return nullptr;
        }
        FACTORY_LOG(2) << "DiskDescriptorFactory instance finished OK";
        __atomic_store_n(&s_instance, created, __ATOMIC_RELEASE);
    }
    return s_instance;
}

DiskDescriptorFactory::DiskDescriptorFactory()
{
    pluginHandleMap.clear();
    createFuncMap[QRM_STRATA] = &DiskDescriptorFactory::CreateQRMStrataDiskDescriptor;
    createFuncMap[KVM_STRATA] = &DiskDescriptorFactory::CreateKVMStrataDiskDescriptor;
    createFuncMap[XDS] = &DiskDescriptorFactory::CreateXDSDiskDescriptor;
    createFuncMap[KVM_T9] = &DiskDescriptorFactory::CreateKVMT9DiskDescriptor;
    createFuncMap[QRM_T9] = &DiskDescriptorFactory::CreateQRMT9DiskDescriptor;
    createFuncMap[QRM_T9_RDM] = &DiskDescriptorFactory::CreateQRMT9RDMDiskDescriptor;
    createFuncMap[QRM_STRATA_RDM] = &DiskDescriptorFactory::CreateQRMStrataRDMDiskDescriptor;
}

DiskDescriptorFactory::~DiskDescriptorFactory()
{
    for (auto& entry : pluginHandleMap) {
        if (entry.second != nullptr) {
            dlclose(entry.second);
        }
    }
}

int DiskDescriptorFactory::CreateDiskDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk)
{
    try {
        const int type = static_cast<int>(paras.productStorageType);
        FACTORY_LOG(1) << "try to find the handler for this product storage type:" << type;
        auto it = createFuncMap.find(paras.productStorageType);
        if (it == createFuncMap.end()) {
            FACTORY_LOG(4) << "Failed to find the handler for this product storage type:" << type;
            return -1;
        }
        return (this->*(it->second))(paras, disk);
    } catch (const std::exception& e) {
        FACTORY_LOG(4) << "create disk descriptor failed with exception: " << e.what();
    } catch (...) {
        FACTORY_LOG(4) << "create disk descriptor failed with an unknown exception";
    }
    return -1;
}

int DiskDescriptorFactory::LoadPlugin(const std::string& path, void*& handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : pluginHandleMap) {
        if (entry.first == path) {
            handle = entry.second;
            FACTORY_LOG(1) << "Succeed to dlopen the plugin:" << path;
            return 0;
        }
    }
    void* h = dlopen(path.c_str(), RTLD_NOW);
    if (h == nullptr) {
        const char* err = dlerror();
        FACTORY_LOG(4) << "Failed to dlopen the plugin:" << path << ", error message is " << (err ? err : "") << ".";
        return -1;
    }
    pluginHandleMap[path] = h;
    handle = h;
    FACTORY_LOG(1) << "Succeed to dlopen the plugin:" << path;
    return 0;
}

int DiskDescriptorFactory::GetCreateFunction(const std::string& path, PluginCreateFunc& func)
{
    void* handle = nullptr;
    if (LoadPlugin(path, handle) != 0) {
        FACTORY_LOG(4) << "Failed to load the plugin:" << path;
        return -1;
    }
    // dlerror's state is per thread, so clear-lookup-check is not disturbed by other threads.
    dlerror();
    void* sym = dlsym(handle, "CreateDiskDescriptor");
    const char* err = dlerror();
    if (err != nullptr) {
        FACTORY_LOG(4) << "Failed to dlsym the symbol CreateDiskDescriptor: " << err;
        return -1;
    }
    func = reinterpret_cast<PluginCreateFunc>(sym);
    return 0;
}

int DiskDescriptorFactory::CreateFromPlugin(const char* pluginFile, OffsetRule rule, const VolumeParas& paras,
                                            std::shared_ptr<CDiskDescriptor>& disk)
{
    const std::string path = CPath::GetInstance()->GetLibPath() + "/" + pluginFile;
    // Refuse a negative offset other than "absent" before loading anything: it would be
    // sign-extended into an offset near 2^64.
    if (rule != OffsetRule::AlwaysZero && paras.newVolumeOffsetSize < -1) {
        FACTORY_LOG(4) << "newVolumeOffsetSize(" << paras.newVolumeOffsetSize
                       << ") is invalid, a data-area offset cannot be negative.";
        return -1;
    }
    PluginCreateFunc create = nullptr;
    if (GetCreateFunction(path, create) != 0) {
        FACTORY_LOG(4) << "Get create disk function failed. plugin path:" << path;
        return -1;
    }
    VolumeParas copy(paras);
    if (rule == OffsetRule::AlwaysZero) {
        copy.volumeOffsetSize = 0;
    } else if (paras.newVolumeOffsetSize == -1) {
        switch (rule) {
            case OffsetRule::Default4K:
                copy.volumeOffsetSize = 4096;
                FACTORY_LOG(3) << "newVolumeOffsetSize(-1) is invalid,set the default 4KB.";
                break;
            case OffsetRule::Default2M:
                copy.volumeOffsetSize = 2097152;
                FACTORY_LOG(3) << "newVolumeOffsetSize(-1) is invalid,set the default 2MB.";
                break;
            default:
                copy.volumeOffsetSize = 0;
                FACTORY_LOG(3) << "newVolumeOffsetSize(-1) is invalid,set the default 0.";
                break;
        }
    } else {
        copy.volumeOffsetSize = static_cast<uint64_t>(static_cast<int64_t>(paras.newVolumeOffsetSize)) * 1024ULL;
    }
    // The plug-in is foreign code: nothing it throws may leave the factory.
    try {
        return create(copy, disk);
    } catch (const std::exception& e) {
        FACTORY_LOG(4) << "plugin " << path << " threw: " << e.what();
    } catch (...) {
        FACTORY_LOG(4) << "plugin " << path << " threw an unknown exception";
    }
    return -1;
}

int DiskDescriptorFactory::CreateQRMStrataDiskDescriptor(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateFromPlugin(kStrataPlugin, OffsetRule::Default4K, p, d);
}
int DiskDescriptorFactory::CreateKVMStrataDiskDescriptor(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateFromPlugin(kStrataPlugin, OffsetRule::Default0, p, d);
}
int DiskDescriptorFactory::CreateXDSDiskDescriptor(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateNOTSUPPORTDiskDescriptor(p, d);
}
int DiskDescriptorFactory::CreateKVMT9DiskDescriptor(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateFromPlugin(kT9Plugin, OffsetRule::Default0, p, d);
}
int DiskDescriptorFactory::CreateQRMT9DiskDescriptor(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateFromPlugin(kT9Plugin, OffsetRule::Default2M, p, d);
}
int DiskDescriptorFactory::CreateQRMT9RDMDiskDescriptor(const VolumeParas& p, std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateFromPlugin(kT9Plugin, OffsetRule::AlwaysZero, p, d);
}
int DiskDescriptorFactory::CreateQRMStrataRDMDiskDescriptor(const VolumeParas& p,
                                                            std::shared_ptr<CDiskDescriptor>& d)
{
    return CreateFromPlugin(kStrataPlugin, OffsetRule::AlwaysZero, p, d);
}
int DiskDescriptorFactory::CreateNOTSUPPORTDiskDescriptor(const VolumeParas&, std::shared_ptr<CDiskDescriptor>&)
{
    return -1;
}

size_t DiskDescriptorFactory::LoadedPluginCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return pluginHandleMap.size();
}
