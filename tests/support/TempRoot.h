// A throw-away directory used as the installation root while alive; the host's
// previous root comes back when it goes. Header only, for any test binary.
#pragma once
#include <stdlib.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <stdexcept>
#include <string>

#include "host/RootPath.h"

namespace testroot {

class TempRoot {
public:
    TempRoot()
    {
        char tmpl[] = "/tmp/dm_test_root_XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            // Never fall back to a shared directory: the destructor removes it.
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = tmpl;
        m_previous = CPath::GetInstance()->GetRootPath();
        SetRootPath(m_path);
    }
    ~TempRoot()
    {
        SetRootPath(m_previous);
        boost::system::error_code ec;
        boost::filesystem::remove_all(m_path, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& Path() const { return m_path; }
    // Writes `data` to <root>/<name> (directories must exist) and returns the path.
    std::string MakeFile(const std::string& name, const std::string& data) const
    {
        const std::string path = m_path + "/" + name;
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        return path;
    }

private:
    std::string m_path;
    std::string m_previous;
};

}  // namespace testroot
