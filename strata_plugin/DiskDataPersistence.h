// The cached task data of the block-storage plug-in: a small JSON document
// naming every volume the task attached or created and has not yet released.
// Every change is pushed to the host at once and kept in a cache file, so a
// later task can clean up after a crash. Owned by one descriptor (shared with
// its bitmap handler) and used from the task's thread only; no lock.
#pragma once
#include <json/json.h>

#include <memory>
#include <string>

#include "foundation/CachedTaskData.h"
#include "host/DiskMessageNotify.h"

class StrataCleanFile;

class DiskDataPersistence : public CachedTaskData {
public:
    // `msgNotify` is borrowed for the task's lifetime; it may be null, and then
    // changes stay in memory only.
    explicit DiskDataPersistence(DiskMessageNotify* msgNotify);
    DiskDataPersistence(const DiskDataPersistence&) = delete;
    DiskDataPersistence& operator=(const DiskDataPersistence&) = delete;
    ~DiskDataPersistence() override;

    void AddObject(const std::string& key, const std::string& value) override;
    void RemoveObject(const std::string& key) override;
    std::string GetObject(const std::string& key) override;
    void AppendArrayElement(const std::string& key, const std::string& value) override;
    void RemoveArrayElement(const std::string& key, const std::string& value) override;
    std::string GetFirstArrayElement(const std::string& key) override;
    // Replaces the document with `text` (no publishing); adopts its "cache_uuid".
    bool ToJsonValue(const std::string& text) override;
    std::string ToJsonString() override;
    std::string GetCachedUUID() override;
    // The final write: the document is stored for a later clean-up when it
    // still names volumes. Nothing is sent to the host.
    void Finish() override;

    // True when at least one volume key holds something. Like every test of a
    // key, it creates the absent volume keys as null.
    bool IsUseful();
    // True when the array under `key` holds the string `value`; creates nothing.
    bool HasArrayElement(const std::string& key, const std::string& value) const;

protected:
    void Publish();
    bool Load(const std::string& text);

    Json::Value cache;
    std::string cachedUUID;
    DiskMessageNotify* msgNotify;
    std::unique_ptr<StrataCleanFile> cleanFile;
};
