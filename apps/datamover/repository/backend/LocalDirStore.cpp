#include "apps/datamover/repository/backend/LocalDirStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <memory>

namespace repo3 {

namespace {

bool ValidComponent(const std::string& c)
{
    if (c.empty() || c[0] == '.' || c.size() > 255) {
        return false;
    }
    return std::all_of(c.begin(), c.end(), [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '.' ||
               ch == '_' || ch == '-';
    });
}

std::string Errno(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

void FsyncDir(const std::string& dir)
{
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        throw StorageError(Errno("cannot fsync directory", dir));
    }
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p below `root`; each directory created is made durable in its parent,
// so an object linked into it survives a crash with its path.
void MakeParents(const std::string& root, const std::string& path)
{
    const std::string dir = Parent(path);
    if (dir.size() <= root.size()) {
        return;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            throw StorageError("not a directory: " + dir);
        }
        return;
    }
    MakeParents(root, dir);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        throw StorageError(Errno("cannot create directory", dir));
    }
    FsyncDir(Parent(dir));
}

void WriteAll(int fd, const std::string& data, const std::string& path)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw StorageError(Errno("cannot write", path));
        }
        done += static_cast<size_t>(n);
    }
}

// Objects this large (chunks) bypass the page cache: copying them into it cost
// more processor time than sealing them, and a backup's chunks are not read
// again soon. The direct write covers whole 4 KiB pages from an aligned copy;
// the file is then cut to its length. Returns false when the file system
// takes no direct I/O (the caller writes through the cache instead).
constexpr size_t kDirectMin = 256 * 1024;
constexpr size_t kDirectAlign = 4096;

// One aligned buffer per thread of at least `size` bytes, kept at its largest; null when none can be had.
char* AlignedScratch(size_t size)
{
    struct Free {
        void operator()(void* p) const { std::free(p); }
    };
    thread_local std::unique_ptr<char, Free> buffer;
    thread_local size_t capacity = 0;
    if (capacity < size) {
        void* p = nullptr;
        if (::posix_memalign(&p, kDirectAlign, size) != 0) {
            return nullptr;
        }
        buffer.reset(static_cast<char*>(p));
        capacity = size;
    }
    return buffer.get();
}

bool WriteDirect(const std::string& path, const std::string& data)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    const size_t padded = (data.size() + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
    char* buffer = AlignedScratch(padded);
    if (buffer == nullptr) {
        return false;
    }
    std::memcpy(buffer, data.data(), data.size());
    std::memset(buffer + data.size(), 0, padded - data.size());
    size_t done = 0;
    while (done < padded) {
        ssize_t n = ::pwrite(fd.get(), buffer + done, padded - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::ftruncate(fd.get(), static_cast<off_t>(data.size())) == 0;
}

// The whole of a large object in one direct read: a restore reads chunk files
// that are not cached, and the page cache's read-ahead fetched them in small
// pieces. False when direct I/O is not to be had or the object is not `size`
// bytes any more (the caller reads it through the cache instead).
bool ReadDirect(const std::string& path, size_t size, std::string& data)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    // A page more than the object: a read that fills it means the object grew.
    const size_t padded = (size + kDirectAlign) / kDirectAlign * kDirectAlign;
    char* buffer = AlignedScratch(padded);
    if (buffer == nullptr) {
        return false;
    }
    size_t done = 0;
    while (done < padded) {
        ssize_t n = ::pread(fd.get(), buffer + done, padded - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
        if (done % kDirectAlign != 0) {
            break;  // the end of the file
        }
    }
    if (done != size) {
        return false;
    }
    data.assign(buffer, size);
    return true;
}

// This host's name as it appears in temporaries: letters, digits and '-'.
const std::string& HostTag()
{
    static const std::string tag = [] {
        char buf[256] = {0};
        std::string t;
        if (::gethostname(buf, sizeof buf - 1) == 0) {
            for (const char* p = buf; *p != '\0' && t.size() < 64; ++p) {
                t.push_back(std::isalnum(static_cast<unsigned char>(*p)) ? *p : '-');
            }
        }
        return t.empty() ? std::string("host") : t;
    }();
    return tag;
}

}  // namespace

bool ValidObjectName(const std::string& name)
{
    if (name.empty() || name.size() > 1024) {
        return false;
    }
    size_t start = 0;
    while (true) {
        size_t slash = name.find('/', start);
        std::string comp = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!ValidComponent(comp)) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
        start = slash + 1;
    }
}

LocalDirStore::LocalDirStore(std::string root, bool create) : m_root(std::move(root))
{
    while (m_root.size() > 1 && m_root.back() == '/') {
        m_root.pop_back();
    }
    if (create && ::mkdir(m_root.c_str(), 0755) == 0) {
        FsyncDir(Parent(m_root));
    }
    struct stat st {};
    if (::stat(m_root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw StorageError("repository directory not found: " + m_root);
    }
}

std::string LocalDirStore::PathOf(const std::string& name) const
{
    if (!ValidObjectName(name)) {
        throw StorageError("invalid object name '" + name + "' in " + m_root);
    }
    return m_root + "/" + name;
}

std::string LocalDirStore::WriteTemporary(const std::string& path, const std::string& data) const
{
    static std::atomic<uint64_t> counter{0};
    uint64_t nonce = 0;
    if (::getrandom(&nonce, sizeof nonce, 0) != sizeof nonce) {
        nonce = 0;  // the pid and counter alone still make the name unique
    }
    const std::string dir = Parent(path);
    // .tmp-<host>-<pid>-...: enough to tell later, on certainty, that its writer is gone.
    const std::string tmp = dir + "/.tmp-" + HostTag() + "-" + std::to_string(::getpid()) + "-" +
                            std::to_string(counter++) + "-" + std::to_string(nonce);
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        throw StorageError(Errno("cannot create", tmp));
    }
    try {
        if (data.size() < kDirectMin || !WriteDirect(tmp, data)) {
            if (::ftruncate(fd.get(), 0) != 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
                throw StorageError(Errno("cannot rewrite", tmp));
            }
            WriteAll(fd.get(), data, tmp);
        }
        if (::fsync(fd.get()) != 0) {
            throw StorageError(Errno("cannot fsync", tmp));
        }
        if (::close(fd.release()) != 0) {
            throw StorageError(Errno("cannot close", tmp));
        }
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    return tmp;
}

bool LocalDirStore::PutIfAbsent(const std::string& name, const std::string& data)
{
    const std::string path = PathOf(name);
    if (Exists(name)) {
        return true;
    }
    MakeParents(m_root, path);
    const std::string tmp = WriteTemporary(path, data);
    // link() never replaces: of two writers of one name exactly one wins.
    const int rc = ::link(tmp.c_str(), path.c_str());
    const int err = errno;
    ::unlink(tmp.c_str());
    if (rc != 0) {
        if (err == EEXIST && Exists(name)) {
            return true;
        }
        errno = err;
        throw StorageError(Errno("cannot store", path));
    }
    FsyncDir(Parent(path));
    return false;
}

void LocalDirStore::Replace(const std::string& name, const std::string& data)
{
    const std::string path = PathOf(name);
    MakeParents(m_root, path);
    const std::string tmp = WriteTemporary(path, data);
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        throw StorageError(Errno("cannot replace", path));
    }
    FsyncDir(Parent(path));
}

bool LocalDirStore::Get(const std::string& name, std::string& data) const
{
    const std::string path = PathOf(name);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return false;
        }
        throw StorageError(Errno("cannot open", path));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw StorageError(Errno("cannot stat", path));
    }
    if (!S_ISREG(st.st_mode)) {
        throw StorageError("not an object: " + path);
    }
    if (static_cast<size_t>(st.st_size) >= kDirectMin && ReadDirect(path, static_cast<size_t>(st.st_size), data)) {
        return true;
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (true) {
        if (done == data.size()) {
            data.resize(done + 65536);  // the file may have grown; read to its end
        }
        ssize_t n = ::read(fd.get(), &data[done], data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw StorageError(Errno("cannot read", path));
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    return true;
}

bool LocalDirStore::Exists(const std::string& name) const
{
    const std::string path = PathOf(name);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISREG(st.st_mode);
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        return false;
    }
    throw StorageError(Errno("cannot stat", path));
}

namespace {

void Walk(const std::string& dirPath, const std::string& keyPrefix, const std::string& want,
          std::vector<std::string>& out)
{
    DIR* dir = ::opendir(dirPath.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return;
        }
        throw StorageError(Errno("cannot list", dirPath));
    }
    std::vector<std::pair<std::string, bool>> entries;
    while (true) {
        errno = 0;  // readdir reports an error only through errno
        struct dirent* e = ::readdir(dir);
        if (e == nullptr) {
            break;
        }
        std::string n = e->d_name;
        if (!ValidComponent(n)) {
            continue;  // ".", "..", temporaries and anything no object could be called
        }
        struct stat st {};
        if (::lstat((dirPath + "/" + n).c_str(), &st) != 0) {
            continue;  // removed while listing
        }
        if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
            entries.emplace_back(n, S_ISDIR(st.st_mode));
        }
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
        errno = err;
        throw StorageError(Errno("cannot list", dirPath));
    }
    for (const auto& [n, isDir] : entries) {
        const std::string key = keyPrefix + n;
        if (isDir) {
            // Descend only where a key below could still start with `want`.
            const std::string sub = key + "/";
            if (sub.compare(0, std::min(sub.size(), want.size()), want, 0, std::min(sub.size(), want.size())) == 0) {
                Walk(dirPath + "/" + n, sub, want, out);
            }
        } else if (key.compare(0, want.size(), want) == 0) {
            out.push_back(key);
        }
    }
}

}  // namespace

std::vector<std::string> LocalDirStore::List(const std::string& prefix) const
{
    std::vector<std::string> out;
    // Start at the deepest directory the prefix names whole.
    const size_t slash = prefix.rfind('/');
    const std::string dirKey = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
    if (!dirKey.empty() && !ValidObjectName(dirKey.substr(0, dirKey.size() - 1))) {
        return out;  // no object can live below an invalid name
    }
    Walk(dirKey.empty() ? m_root : m_root + "/" + dirKey.substr(0, dirKey.size() - 1), dirKey, prefix, out);
    std::sort(out.begin(), out.end());
    return out;
}

bool LocalDirStore::Delete(const std::string& name)
{
    const std::string path = PathOf(name);
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return false;
        }
        throw StorageError(Errno("cannot delete", path));
    }
    FsyncDir(Parent(path));
    return true;
}

}  // namespace repo3

namespace repo3 {

namespace {

void CollectDeadTemporaries(const std::string& dirPath, const std::string& mine, std::vector<std::string>& out)
{
    DIR* dir = ::opendir(dirPath.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> subdirs;
    while (struct dirent* e = ::readdir(dir)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") {
            continue;
        }
        const std::string path = dirPath + "/" + n;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            subdirs.push_back(path);
            continue;
        }
        if (!S_ISREG(st.st_mode) || n.compare(0, mine.size(), mine) != 0) {
            continue;  // not a temporary, or another host's
        }
        const char* pidText = n.c_str() + mine.size();
        char* end = nullptr;
        const long pid = std::strtol(pidText, &end, 10);
        if (end == pidText || *end != '-' || pid <= 0 || pid == ::getpid()) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH && ::unlink(path.c_str()) == 0) {
            out.push_back(path);
        }
    }
    ::closedir(dir);
    for (const auto& d : subdirs) {
        CollectDeadTemporaries(d, mine, out);
    }
}

}  // namespace

std::vector<std::string> LocalDirStore::RemoveDeadTemporaries()
{
    std::vector<std::string> removed;
    CollectDeadTemporaries(m_root, ".tmp-" + HostTag() + "-", removed);
    return removed;
}

}  // namespace repo3
