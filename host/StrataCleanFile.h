// The host's keeper of cached task data documents: one file per cache
// identifier under <root>/var/cache, replaced atomically on every save so a
// crash leaves either the previous or the new document, never a torn one.
// Plug-ins create one per cache and release it through the virtual destructor.
// One object per thread; separate objects may work on the same directory.
#pragma once
#include <string>
#include <vector>

class StrataCleanFile {
public:
    StrataCleanFile();
    // Slots 0 and 1.
    virtual ~StrataCleanFile();
    // Slot 2: the stored document of `cacheId`; false when there is none.
    virtual bool LoadCacheFile(const std::string& cacheId, std::string& document);
    // Slot 3: forgets the stored document of `cacheId` (absent counts as forgotten).
    virtual bool RemoveCacheFile(const std::string& cacheId);
    // Slot 4: identifiers of every stored document whose task ended without
    // releasing its volumes (final saves), in no particular order.
    virtual std::vector<std::string> ListFinishedCaches();
    // Slot 5: stores `document` under `cacheId`; `running` is true for updates
    // while the task runs and false for the task's final write.
    virtual bool SaveCacheFile(const std::string& cacheId, const std::string& document, bool running);

    // <root>/var/cache (the directory is created on first save).
    static std::string CacheDirectory();
    // A cache identifier is safe as a file name: letters, digits, '-' and '_'.
    static bool ValidCacheId(const std::string& cacheId);

    std::string GetErrorInfo() const { return m_error; }

private:
    std::string PathOf(const std::string& cacheId, bool finished) const;

    std::string m_error;
};
