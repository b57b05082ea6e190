// The host's in-process task table: status, backup storage path, the task's
// flat description and its abort flag, keyed by the task's GUID. One instance
// per process (GetInstance), created on first use; every operation is
// thread-safe. A TaskID without a guid names no task.
#pragma once
#include <boost/atomic.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "proto/chain.pb.h"

// Task statuses. Only the terminal ones (FAILED, SUCCEEDED) may be cleaned.
enum TASK_STATUS : int32_t {
    TASK_STATUS_NOT_EXIST = -1,
    TASK_STATUS_CREATED = 0,
    TASK_STATUS_PREPARING = 1,
    TASK_STATUS_RUNNING = 2,
    TASK_STATUS_ABORTING = 3,
    TASK_STATUS_FAILED = 4,
    TASK_STATUS_SUCCEEDED = 5,
};

const char* TaskStatusName(int32_t status);

class TaskMgr {
public:
    static TaskMgr* GetInstance();

    // Adds a task in status CREATED; false when the id is empty or taken.
    bool AddTask(const TaskID& id, const std::string& backupStoragePath, const std::string& flatTask);
    // TASK_STATUS_NOT_EXIST for an unknown task.
    int32_t GetTaskStatus(const TaskID& id);
    // Moves a known task to `status`; a terminal status is final (false).
    bool SetTaskStatus(const TaskID& id, int32_t status);
    void RemoveTask(const TaskID& id);
    // Raises the task's abort flag; a running task becomes ABORTING.
    void RequestAbortTask(const TaskID& id);
    bool IsAbortRequested(const TaskID& id);
    // The flag a task's abort function yields; null for an unknown task.
    std::shared_ptr<boost::atomic<bool>> GetAbortFlag(const TaskID& id);
    std::string GetBackupStoragePath(const TaskID& id);
    std::string GetFlatTask(const TaskID& id);
    std::vector<std::string> ListTasks();
    // Forgets every task (tests and process shutdown).
    void Clear();

    static TaskID MakeTaskID(const std::string& guid);

private:
    TaskMgr() = default;
    struct Entry {
        int32_t status = TASK_STATUS_CREATED;
        std::string storagePath;
        std::string flatTask;
        std::shared_ptr<boost::atomic<bool>> abortFlag;
    };
    static std::string Key(const TaskID& id);

    std::mutex m_mutex;
    std::map<std::string, Entry> m_tasks;
};
