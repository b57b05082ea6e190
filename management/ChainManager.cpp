#include "management/ChainManager.h"

#include <exception>

#include "foundation/LogProxy.h"
#include "host/TaskMgr.h"

namespace {
const char MODULE_NAME[] = "ChainManager";
const char CHAIN_BUSY[] = "Task has been added to the chain,can't run two or more backup in one chain.";
}  // namespace

const std::string ChainManager::metaDataDirectoryName = "SNAPS_DIR";

bool ChainManager::CheckChainOpened(const ChainParams& params)
{
    if (m_chains.find(params.storagePath) != m_chains.end()) {
        LOG_STREAM(4) << CHAIN_BUSY;
        return true;
    }
    return false;
}

bool ChainManager::OpenChain(const ChainParams& params, const BrickData& brickData, std::shared_ptr<ChainInfo>& info)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (CheckChainOpened(params)) {
        LOG_STREAM(4) << CHAIN_BUSY;
        return false;
    }
    return OpenNewChain(params, brickData, info);
}

bool ChainManager::OpenNewChain(const ChainParams& params, const BrickData& brickData,
                                std::shared_ptr<ChainInfo>& info)
{
    try {
        info = std::make_shared<ChainInfo>();
        // An empty type list has no first entry to choose the database by.
        if (brickData.type_size() == 0) {
            LOG_STREAM(4) << "Create chaininfo failed.  error msg is " << "brick data has no type";
            return false;
        }
        BrickType brickType = brickData.type(0);
        VFS_TYPE vfsType = GetDbVfsTypeByBrickType(brickType);

        info->chainDB = std::make_shared<ChainDB>(vfsType, true);
        info->snapStore = std::make_shared<SnapStore>();
        info->brickData = std::make_shared<BrickData>(brickData);
        info->tasks.insert(params.taskId);

        std::string dbPath = params.storagePath + "/" + metaDataDirectoryName + "/" + info->chainDB->GetDBFileName();
        (void)info->chainDB->OpenDB(dbPath);
        (void)info->chainDB->SetDataMoverDB(m_dataMoverDB);

        ChainID chainId;
        *chainId.add_brick_data() = brickData;
        std::string serialized;
        if (!chainId.SerializeToString(&serialized)) {
            LOG_STREAM(4) << "Create chaininfo failed.  error msg is " << "serialize ChainID failed";
            return false;
        }

        if (!info->snapStore->Init(params.storagePath, params.snapStoreParam, serialized)) {
            LOG_STREAM(4) << "Failed to init SnapStore instance," << " storagePath=" << params.storagePath;
            return false;
        }
        info->snapStore->setDomainUuid(params.domainUuid);
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Create chaininfo failed.  error msg is " << e.what();
        return false;
    }
    m_chains[params.storagePath] = info;
    return true;
}

void ChainManager::CloseChain(const std::string& taskId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_chains.begin(); it != m_chains.end(); ++it) {
        if (it->second->tasks.erase(taskId) > 0) {
            if (it->second->tasks.empty()) {
                m_chains.erase(it);
            }
            return;
        }
    }
    LOG_STREAM(3) << "The chain for task [" << taskId << "] can not be found.";
}

bool ChainManager::TaskIsExist(const std::string& taskId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& kv : m_chains) {
        if (kv.second->tasks.count(taskId) > 0) {
            LOG_STREAM(1) << "The task [" << taskId << "] found.";
            return true;
        }
    }
    LOG_STREAM(2) << "The task[" << taskId << "] can not be found.";
    return false;
}

int32_t ChainManager::CleanTask(const std::string& taskId)
{
    if (!TaskIsExist(taskId)) {
        LOG_STREAM(4) << "The task[" << taskId << "] is not exist.";
        return TASK_NOT_EXIST;
    }
    TaskID id = TaskMgr::MakeTaskID(taskId);
    int32_t status = TaskMgr::GetInstance()->GetTaskStatus(id);
    if (status != TASK_STATUS_FAILED && status != TASK_STATUS_SUCCEEDED) {
        LOG_STREAM(4) << "The task[" << taskId << "] status is " << status << ". Unable to clean task.";
        return -1;
    }
    TaskMgr::GetInstance()->RemoveTask(id);
    CloseChain(taskId);
    return 0;
}

void ChainManager::AbortTask(const std::string& taskId)
{
    if (!TaskIsExist(taskId)) {
        LOG_STREAM(3) << "The task[" << taskId << "] is not exist.";
    }
    TaskMgr::GetInstance()->RequestAbortTask(TaskMgr::MakeTaskID(taskId));
}

int32_t ChainManager::GetTasksInfo(Json::Value& out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LOG_STREAM(1) << "Begin to get tasks.";
    Json::Value tasks(Json::arrayValue);
    TaskMgr* mgr = TaskMgr::GetInstance();
    for (const auto& kv : m_chains) {
        for (const std::string& taskId : kv.second->tasks) {
            TaskID id = TaskMgr::MakeTaskID(taskId);
            Json::Value item(Json::objectValue);
            item["BackupStoragePath"] = mgr->GetBackupStoragePath(id);
            item["TaskID"] = taskId;
            item["FlatTask"] = mgr->GetFlatTask(id);
            tasks.append(item);
        }
    }
    out["Tasks"] = tasks;
    return 0;
}

void ChainManager::SetDataMoverDBInterface(std::shared_ptr<DataMoverDB> db)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dataMoverDB = std::move(db);
}
