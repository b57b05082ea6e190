#include "host/GuardedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Oru {

namespace {
// Makes a rename durable by syncing the directory that holds the file.
void SyncParentDir(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
}  // namespace

GuardedFile::GuardedFile(int /*objectType*/) {}

GuardedFile::~GuardedFile()
{
    Close();
}

void GuardedFile::SetErrno(const std::string& what)
{
    char buf[256];
    const char* text = strerror_r(errno, buf, sizeof buf);
    m_error = what + ": " + text;
}

int GuardedFile::Open(const std::string& path, const std::string& mode, void* /*handle*/)
{
    Close();
    m_error.clear();
    m_failed = false;
    m_published = false;
    m_path = path;
    m_writing = mode.find('w') != std::string::npos;
    if (m_writing) {
        m_tmpPath = path + ".tmp." + std::to_string(::getpid());
        int fd = ::open(m_tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        if (fd < 0) {
            SetErrno("open " + m_tmpPath);
            return -1;
        }
        m_fp = ::fdopen(fd, "wb");
        if (m_fp == nullptr) {
            SetErrno("fdopen " + m_tmpPath);
            ::close(fd);
            ::unlink(m_tmpPath.c_str());
            return -1;
        }
        return 0;
    }
    m_fp = std::fopen(path.c_str(), "rbe");
    if (m_fp == nullptr) {
        SetErrno("open " + path);
        return -1;
    }
    return 0;
}

size_t GuardedFile::Read(void* data, size_t size, size_t count)
{
    if (m_fp == nullptr || m_writing) {
        m_error = "file not open for reading";
        return 0;
    }
    size_t n = std::fread(data, size, count, m_fp);
    if (n < count && std::ferror(m_fp)) {
        SetErrno("read " + m_path);
    }
    return n;
}

size_t GuardedFile::Write(const void* data, size_t size, size_t count)
{
    if (m_fp == nullptr || !m_writing) {
        m_error = "file not open for writing";
        return 0;
    }
    size_t n = std::fwrite(data, size, count, m_fp);
    if (n < count) {
        SetErrno("write " + m_tmpPath);
        m_failed = true;
    }
    return n;
}

int GuardedFile::Flush(bool sync)
{
    if (m_fp == nullptr) {
        m_error = "file not open";
        return -1;
    }
    if (std::fflush(m_fp) != 0) {
        SetErrno("flush " + m_path);
        m_failed = true;
        return -1;
    }
    if (!sync || !m_writing) {
        return 0;
    }
    if (::fsync(::fileno(m_fp)) != 0) {
        SetErrno("fsync " + m_tmpPath);
        m_failed = true;
        return -1;
    }
    if (m_failed) {
        m_error = "earlier write failed; " + m_path + " left unchanged";
        return -1;
    }
    if (::rename(m_tmpPath.c_str(), m_path.c_str()) != 0) {
        SetErrno("rename " + m_tmpPath);
        return -1;
    }
    SyncParentDir(m_path);
    m_published = true;
    return 0;
}

int GuardedFile::Close()
{
    if (m_fp == nullptr) {
        return 0;
    }
    int rc = 0;
    if (m_writing && !m_published && !m_failed) {
        rc = Flush(true);
    }
    std::fclose(m_fp);
    m_fp = nullptr;
    if (m_writing && !m_published) {
        // A failed write never replaces the real file.
        ::unlink(m_tmpPath.c_str());
    }
    return rc;
}

bool GuardedFile::FileSize(uint64_t& size, const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        SetErrno("stat " + path);
        size = 0;
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

int GuardedFile::Remove(const std::string& path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        SetErrno("remove " + path);
        return -1;
    }
    return 0;
}

}  // namespace Oru
