#include "host/TaskMgr.h"

#include "host/Logger.h"

namespace {
const char MODULE_NAME[] = "TaskMgr";

void Log(int level, const std::string& text)
{
    CLogger::GetInstance()->LogEx(level, MODULE_NAME, 0, "TaskMgr", 0, text);
}

bool IsTerminal(int32_t status)
{
    return status == TASK_STATUS_FAILED || status == TASK_STATUS_SUCCEEDED;
}
}  // namespace

const char* TaskStatusName(int32_t status)
{
    switch (status) {
        case TASK_STATUS_CREATED: return "created";
        case TASK_STATUS_PREPARING: return "preparing";
        case TASK_STATUS_RUNNING: return "running";
        case TASK_STATUS_ABORTING: return "aborting";
        case TASK_STATUS_FAILED: return "failed";
        case TASK_STATUS_SUCCEEDED: return "succeeded";
        default: return "not-exist";
    }
}

TaskMgr* TaskMgr::GetInstance()
{
    static TaskMgr instance;
    return &instance;
}

TaskID TaskMgr::MakeTaskID(const std::string& guid)
{
    TaskID id;
    id.add_guid(guid);
    return id;
}

std::string TaskMgr::Key(const TaskID& id)
{
    return id.guid_size() > 0 ? id.guid(0) : std::string();
}

bool TaskMgr::AddTask(const TaskID& id, const std::string& backupStoragePath, const std::string& flatTask)
{
    std::string key = Key(id);
    if (key.empty()) {
        Log(4, "Refused a task without an identifier.");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry entry;
    entry.storagePath = backupStoragePath;
    entry.flatTask = flatTask;
    entry.abortFlag = std::make_shared<boost::atomic<bool>>(false);
    bool inserted = m_tasks.emplace(key, std::move(entry)).second;
    if (!inserted) {
        Log(4, "Task [" + key + "] already exists.");
    }
    return inserted;
}

int32_t TaskMgr::GetTaskStatus(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    return it == m_tasks.end() ? TASK_STATUS_NOT_EXIST : it->second.status;
}

bool TaskMgr::SetTaskStatus(const TaskID& id, int32_t status)
{
    if (status < TASK_STATUS_CREATED || status > TASK_STATUS_SUCCEEDED) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    if (it == m_tasks.end() || IsTerminal(it->second.status)) {
        return false;
    }
    it->second.status = status;
    return true;
}

void TaskMgr::RemoveTask(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.erase(Key(id));
}

void TaskMgr::RequestAbortTask(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    if (it == m_tasks.end()) {
        Log(3, "Abort requested for unknown task [" + Key(id) + "].");
        return;
    }
    it->second.abortFlag->store(true);
    if (!IsTerminal(it->second.status)) {
        it->second.status = TASK_STATUS_ABORTING;
    }
}

bool TaskMgr::IsAbortRequested(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    return it != m_tasks.end() && it->second.abortFlag->load();
}

std::shared_ptr<boost::atomic<bool>> TaskMgr::GetAbortFlag(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    return it == m_tasks.end() ? nullptr : it->second.abortFlag;
}

std::string TaskMgr::GetBackupStoragePath(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    return it == m_tasks.end() ? std::string() : it->second.storagePath;
}

std::string TaskMgr::GetFlatTask(const TaskID& id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tasks.find(Key(id));
    return it == m_tasks.end() ? std::string() : it->second.flatTask;
}

std::vector<std::string> TaskMgr::ListTasks()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& kv : m_tasks) {
        out.push_back(kv.first);
    }
    return out;
}

void TaskMgr::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.clear();
}
