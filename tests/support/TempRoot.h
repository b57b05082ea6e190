// A throw-away directory used as the installation root while alive; the host's
// previous root comes back when it goes. Header only, for any test binary.
#pragma once
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

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
        // Depth first, links not followed: only what lies inside the root goes.
        ::nftw(m_path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
               FTW_DEPTH | FTW_PHYS);
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
