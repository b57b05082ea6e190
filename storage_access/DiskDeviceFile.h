// One attached volume (a block device or any file) opened by path and read or
// written at byte offsets, every transfer bounded by the logical size given at
// open. Owned by one descriptor. Positional reads of different ranges may run on
// several threads, and Close may run while they do: every transfer works on its
// own copy of the descriptor holder, taken under a short lock, so a concurrent
// Close only makes later transfers fail "not open". Open must not race with I/O.
#pragma once
#include <libaio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

enum DISK_DEVICE_RETURN_CODE : int32_t {
    DISK_DEVICE_OK = 0,
    DISK_DEVICE_END_OF_FILE = 1,
    DISK_DEVICE_READ_FAILED = 2,
    DISK_DEVICE_AIO_FAILED = 3,
    DISK_DEVICE_WRITE_FAILED = 4,
    DISK_DEVICE_SYNC_FAILED = 5,
    DISK_DEVICE_OPEN_FAILED = 6,
};

// Deleter of the descriptor holder: closes the descriptor and frees the holder.
void CloseFile(int* fdHolder);

class DiskDeviceFile {
public:
    // Size of every window MmapRead maps, whatever length is asked for.
    static constexpr uint64_t MMAP_WINDOW_BYTES = 4194304ULL;

    DiskDeviceFile() = default;
    DiskDeviceFile(const DiskDeviceFile&) = delete;
    DiskDeviceFile& operator=(const DiskDeviceFile&) = delete;
    // Releases the fields only: the last owner of the descriptor closes it, without fsync.
    virtual ~DiskDeviceFile();

    // Resolves `path` to its canonical form and opens it with `flags` unchanged
    // (no creation mode). `size` is the logical end of the file. 0 or 6.
    virtual DISK_DEVICE_RETURN_CODE Open(const std::string& path, int32_t flags, uint64_t size);
    // Reads with the configured attempts; on success `len` is the bytes read
    // (clipped at the logical end). 0, 1 or 2.
    virtual DISK_DEVICE_RETURN_CODE Read(const uint64_t& offset, uint64_t& len, char* buffer);
    // Submits one asynchronous read on the caller's context. On 0 the control
    // block belongs to whoever collects the completion, who frees it with free().
    // 0, 1, 2 or 3.
    virtual DISK_DEVICE_RETURN_CODE AioRead(const uint64_t& offset, uint64_t& len, char* buffer,
                                            io_context_t ioContext);
    // Maps a read-only, shared window of MMAP_WINDOW_BYTES at `offset` (page
    // aligned); the caller unmaps it. `len` is only logged. 0 or 2.
    virtual DISK_DEVICE_RETURN_CODE MmapRead(const uint64_t& offset, const uint64_t& len, char*& mapping);
    // Writes with the configured attempts; `len` is left unchanged. 0, 1 or 4.
    virtual DISK_DEVICE_RETURN_CODE Write(const uint64_t& offset, uint64_t& len, const char* buffer);
    // Syncs a writable file, drops its page cache and lets the descriptor go.
    // The object is "not open" afterwards whatever the outcome. 0 or 5.
    virtual DISK_DEVICE_RETURN_CODE Close();
    // fsync of a writable file; 0 at once when read-only. 0 or 5.
    virtual DISK_DEVICE_RETURN_CODE Flush();
    virtual std::string GetErrString();
    virtual std::string GetDiskDevicePath();
    // Drops the page cache of a byte range; a failure is only logged.
    virtual void ReleaseBufferCache(const uint64_t& start, const uint64_t& len);

    // One attempt each; no "open" or end-of-file test.
    DISK_DEVICE_RETURN_CODE DoRead(const uint64_t& offset, uint64_t& len, char* buffer);
    DISK_DEVICE_RETURN_CODE DoAioRead(const uint64_t& offset, uint64_t& len, char* buffer, io_context_t ioContext);
    DISK_DEVICE_RETURN_CODE DoWrite(const uint64_t& offset, uint64_t& len, const char* buffer);

protected:
    // A copy of the descriptor holder (empty when not open), taken under the lock.
    std::shared_ptr<int> CurrentHandle() const;
    void SetErrString(std::string text);

    // Guards volHandle and errString, which Close and failing transfers write
    // while other threads read them. Held only to copy or swap, never during I/O.
    mutable std::mutex m_stateMutex;
    // The descriptor, shared with every transfer while it runs; empty means
    // "not open". The last owner closes it through CloseFile.
    std::shared_ptr<int> volHandle;
    uint64_t diskSize = 0;
    bool readOnly = true;
    std::string diskDevicePath;
    std::string errString = "internal error.";
};
