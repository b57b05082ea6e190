// The host's guarded file. Mode "w" writes to "<path>.tmp.<pid>" and renames it
// over the real name on Flush(true) or when the file is closed, so a crash never
// leaves a torn file under the real name. Mode "r" reads the real file.
// One object per thread; objects are independent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Oru {

class GuardedFile {
public:
    explicit GuardedFile(int objectType = 0);
    ~GuardedFile();
    GuardedFile(const GuardedFile&) = delete;
    GuardedFile& operator=(const GuardedFile&) = delete;

    // Opens `path` with mode "r" or "w" (a "b" is accepted and ignored).
    // `handle` is accepted for the product's call shape and not used.
    // Returns 0 on success, -1 on failure (see GetErrorInfo).
    int Open(const std::string& path, const std::string& mode, void* handle = nullptr);
    // fread/fwrite shapes: return the number of whole items transferred.
    size_t Read(void* data, size_t size, size_t count);
    size_t Write(const void* data, size_t size, size_t count);
    // Flushes written data; with `sync`, fsyncs and publishes the file under its
    // real name. 0 on success, -1 on failure.
    int Flush(bool sync);
    // True after a successful Open and until Close.
    bool Loaded() const { return m_fp != nullptr; }
    // Size of the file at `path`; true on success.
    bool FileSize(uint64_t& size, const std::string& path);
    // Removes the file at `path`; 0 on success (a missing file counts as removed).
    int Remove(const std::string& path);
    // Closes the file; a "w" file is published if it was not already.
    int Close();
    std::string GetErrorInfo() const { return m_error; }

private:
    void SetErrno(const std::string& what);

    std::FILE* m_fp = nullptr;
    std::string m_path;
    std::string m_tmpPath;
    bool m_writing = false;
    bool m_published = false;
    bool m_failed = false;
    std::string m_error;
};

}  // namespace Oru
