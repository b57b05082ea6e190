#include "host/RootPath.h"

#include <cstdlib>

CPath* CPath::GetInstance()
{
    static CPath instance;
    return &instance;
}

std::string CPath::GetRootPath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_rootPath.empty()) {
        return m_rootPath;
    }
    const char* env = std::getenv("DATAMOVER_ROOT");
    std::string root = env != nullptr ? env : "";
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string CPath::GetLibPath() const
{
    return GetRootPath() + "/" + "lib";
}

void CPath::SetRootPath(const std::string& root)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rootPath = root;
    while (m_rootPath.size() > 1 && m_rootPath.back() == '/') {
        m_rootPath.pop_back();
    }
}

std::string GetCorvaneRootPath(const std::string& /*moduleName*/, uint64_t /*requestId*/)
{
    return CPath::GetInstance()->GetRootPath();
}

void getCurrentFilePath(std::string& out, const std::string& /*moduleName*/, uint64_t /*requestId*/)
{
    out = CPath::GetInstance()->GetRootPath() + "/bin";
}

void SetRootPath(const std::string& root)
{
    CPath::GetInstance()->SetRootPath(root);
}
