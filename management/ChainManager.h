// Keeps the open backup chains of this data mover, one per backup storage
// path, with the tasks that use each. A storage path holds at most one open
// chain (one backup at a time per chain); the chain closes when its last task
// leaves. Created by the host, which sets the data-mover database interface
// before the first OpenChain. Thread-safe: one mutex guards the chain table;
// OpenNewChain and CheckChainOpened expect the caller to hold it (OpenChain does).
#pragma once
#include <json/json.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host/ChainDB.h"
#include "host/DataMoverDB.h"
#include "host/SnapStore.h"
#include "proto/chain.pb.h"

struct ChainParams {
    std::string taskId;
    std::string storagePath;
    std::string domainUuid;
    uint32_t snapStoreParam = 0;
};

// One open chain. Invariant: a ChainInfo in the table has at least one task.
struct ChainInfo {
    std::shared_ptr<BrickData> brickData;
    std::shared_ptr<SnapStore> snapStore;
    std::shared_ptr<ChainDB> chainDB;
    std::set<std::string> tasks;
};

class ChainManager {
public:
    static const std::string metaDataDirectoryName;  // "SNAPS_DIR"
    // Returned by CleanTask for a task that no open chain holds.
    static const int32_t TASK_NOT_EXIST = 1073948970;  // 0x4003292A

    ChainManager() = default;
    ChainManager(const ChainManager&) = delete;
    ChainManager& operator=(const ChainManager&) = delete;

    // 0 when cleaned, TASK_NOT_EXIST, or -1 when the task is not finished.
    virtual int32_t CleanTask(const std::string& taskId);
    // Sets out["Tasks"] to one object per task of every open chain; always 0.
    virtual int32_t GetTasksInfo(Json::Value& out);
    virtual void AbortTask(const std::string& taskId);
    virtual void SetDataMoverDBInterface(std::shared_ptr<DataMoverDB> db);
    // Opens the chain of params.storagePath for params.taskId; false when the
    // path already has an open chain or the chain cannot be prepared.
    virtual bool OpenChain(const ChainParams& params, const BrickData& brickData, std::shared_ptr<ChainInfo>& info);
    virtual void CloseChain(const std::string& taskId);
    virtual bool TaskIsExist(const std::string& taskId);
    // Caller holds the mutex.
    virtual bool OpenNewChain(const ChainParams& params, const BrickData& brickData,
                              std::shared_ptr<ChainInfo>& info);
    // Caller holds the mutex.
    virtual bool CheckChainOpened(const ChainParams& params);
    virtual ~ChainManager() = default;

private:
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<ChainInfo>> m_chains;
    std::shared_ptr<DataMoverDB> m_dataMoverDB;
};
