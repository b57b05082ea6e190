#include "storage_access/DiskDeviceFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

#include "foundation/LogAsCaller.h"
#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "host/ConfigReader.h"
#include "host/Timer.h"

namespace {
const char MODULE_NAME[] = "DiskDeviceFile";

// A configured pause below zero would become an enormous unsigned sleep.
unsigned int PauseSeconds(int configured)
{
    return configured > 0 ? static_cast<unsigned int>(configured) : 0U;
}

// Bytes of [offset, offset + len) that lie before the logical end.
uint64_t ClipToSize(uint64_t offset, uint64_t len, uint64_t size)
{
    if (offset >= size) {
        return 0;
    }
    return len > size - offset ? size - offset : len;
}

// The retry loop of Read and Write: tries and pause come from the named config keys; no
// pause after the last try. The records carry the caller's name.
template <typename Attempt>
bool RetryAttempts(const char* triesKey, int tryLogLevel, const char* intervalKey, const char* intervalText,
                   const char* caller, Attempt attempt)
{
    int tries = ConfigReader::getInt("BackupNode", triesKey, true);
    while (tries-- > 0) {
        LOG_STREAM_AS(tryLogLevel, caller) << "Retry time is " << tries;
        if (attempt()) {
            return true;
        }
        if (tries < 1) {
            break;
        }
        int interval = ConfigReader::getInt("BackupNode", intervalKey, true);
        LOG_STREAM_AS(1, caller) << intervalText << interval;
        oru_sleep(PauseSeconds(interval));
    }
    return false;
}
}  // namespace

void CloseFile(int* fdHolder)
{
    LOG_STREAM(1) << "Enter close file.";
    if (fdHolder != nullptr) {
        LOG_STREAM(1) << "Close file,fd=" << *fdHolder;
        ::close(*fdHolder);
        delete fdHolder;
    }
}

DiskDeviceFile::~DiskDeviceFile() = default;

std::shared_ptr<int> DiskDeviceFile::CurrentHandle() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return volHandle;
}

void DiskDeviceFile::SetErrString(std::string text)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    errString = std::move(text);
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::Open(const std::string& path, int32_t flags, uint64_t size)
{
    LOG_STREAM(2) << "openDisk fileName:" << path << ",owMode:" << flags;
    std::string realPath;
    // An empty path names nothing; resolved, it would silently become the current directory.
    if (path.empty()) {
        LOG_STREAM(4) << "Get real path failed. FileName :" << path << ", errcode:" << ENOENT;
        return DISK_DEVICE_OPEN_FAILED;
    }
    try {
        boost::system::error_code ec;
        boost::filesystem::path resolved = boost::filesystem::canonical(path, ec);
        if (ec) {
            LOG_STREAM(4) << "Get real path failed. FileName :" << path << ", errcode:" << ec.value();
            return DISK_DEVICE_OPEN_FAILED;
        }
        realPath = resolved.string();
    } catch (const std::exception& e) {
        LOG_STREAM(4) << "Get real path failed. FileName :" << path << ", exception:" << e.what();
        return DISK_DEVICE_OPEN_FAILED;
    }
    LOG_STREAM(1) << "openDisk realPath:" << realPath;

    // The target exists, so a creation mode never applies; passing one keeps a
    // caller's stray O_CREAT from tripping the fortified open's abort.
    int fd = ::open(realPath.c_str(), flags, 0);
    if (fd == -1) {
        int err = errno;
        const std::string text = oru_errstr(err);
        SetErrString(text);
        LOG_STREAM(4) << "openDisk realPath:" << realPath << ",owMode:" << flags << ",errno code=" << err
                      << ",it means:" << text;
        return DISK_DEVICE_OPEN_FAILED;
    }

    int* holder = new (std::nothrow) int(fd);
    if (holder == nullptr) {
        LOG_STREAM(4) << "Allocate memory for volHandle failed!";
        ::close(fd);
        return DISK_DEVICE_OPEN_FAILED;
    }
    std::shared_ptr<int> opened;
    try {
        // If the control block cannot be allocated, shared_ptr calls CloseFile itself.
        opened = std::shared_ptr<int>(holder, CloseFile);
    } catch (const std::bad_alloc&) {
        LOG_STREAM(4) << "Allocate memory for volHandle failed!";
        return DISK_DEVICE_OPEN_FAILED;
    }
    LOG_STREAM(1) << "Open volume :" << realPath << ",fd=" << fd << " successfully.";

    diskSize = size;
    diskDevicePath = realPath;
    readOnly = (flags != O_WRONLY);
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        volHandle.swap(opened);
    }
    // `opened` now holds any previous descriptor, closed here by its last owner.
    LOG_STREAM(1) << "ReadOnly is " << (readOnly ? 1 : 0);
    return DISK_DEVICE_OK;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::Read(const uint64_t& offset, uint64_t& len, char* buffer)
{
    LOG_STREAM(0) << "ReadBlock,offsetInBytes = " << offset << ",dataLen=" << len << ",diskSize=" << diskSize;
    if (!CurrentHandle()) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_READ_FAILED;
    }
    if (offset >= diskSize) {
        LOG_STREAM(3) << "Read end of the file.";
        return DISK_DEVICE_END_OF_FILE;
    }
    if (RetryAttempts("rereadTryTimes", 1, "backupRereadInteval", "get retry sleep timeout =",
                      __PRETTY_FUNCTION__,
                      [&] { return DoRead(offset, len, buffer) == DISK_DEVICE_OK; })) {
        return DISK_DEVICE_OK;
    }
    LOG_STREAM(4) << "read file failed.";
    return DISK_DEVICE_READ_FAILED;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::DoRead(const uint64_t& offset, uint64_t& len, char* buffer)
{
    std::shared_ptr<int> handle = CurrentHandle();
    if (!handle) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_READ_FAILED;
    }
    const int fd = *handle;
    const uint64_t readLen = ClipToSize(offset, len, diskSize);
    Oru::Timer timer;
    uint64_t done = 0;
    int err = 0;
    while (done < readLen) {
        ssize_t n = ::pread(fd, buffer + done, readLen - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 1) {
            err = n < 0 ? errno : 0;
            LOG_STREAM(3) << "Read file failed. retLen=" << n;
            break;
        }
        done += static_cast<uint64_t>(n);
    }
    LOG_STREAM(1) << "pread End, duration=" << timer.Duration();
    if (done == readLen) {
        len = done;
        return DISK_DEVICE_OK;
    }
    // A zero return means the data ended early: errno has nothing to say then.
    const std::string text = err != 0 ? oru_errstr(err) : std::string("end of data before the requested length");
    SetErrString(text);
    LOG_STREAM(4) << "Read from file failed ! fd=" << fd << ", offset" << offset << ", readLen=" << readLen
                  << ", readedLen=" << done << ". error msg is " << text << ", error code is " << err;
    return DISK_DEVICE_READ_FAILED;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::AioRead(const uint64_t& offset, uint64_t& len, char* buffer,
                                                io_context_t ioContext)
{
    if (!CurrentHandle()) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_READ_FAILED;
    }
    if (offset >= diskSize) {
        LOG_STREAM(3) << "Read end of the file.";
        return DISK_DEVICE_END_OF_FILE;
    }
    return DoAioRead(offset, len, buffer, ioContext);
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::DoAioRead(const uint64_t& offset, uint64_t& len, char* buffer,
                                                  io_context_t ioContext)
{
    std::shared_ptr<int> handle = CurrentHandle();
    if (!handle) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_READ_FAILED;
    }
    // The completion collector frees the block with free(), so it comes from the C allocator.
    struct iocb* block = static_cast<struct iocb*>(std::calloc(1, sizeof(struct iocb)));
    if (block == nullptr) {
        LOG_STREAM(4) << "malloc struct iocb failed";
        return DISK_DEVICE_AIO_FAILED;
    }
    io_prep_pread(block, *handle, buffer, len, static_cast<long long>(offset));
    struct iocb* blocks[1] = {block};
    int ret = io_submit(ioContext, 1, blocks);
    // Anything but "one submitted" means no completion will ever hand the block back.
    if (ret < 1) {
        LOG_STREAM(4) << "aio send read one block failed, offsetInBytes:" << offset << ", ret=" << ret;
        std::free(block);
        return DISK_DEVICE_AIO_FAILED;
    }
    return DISK_DEVICE_OK;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::MmapRead(const uint64_t& offset, const uint64_t& len, char*& mapping)
{
    std::shared_ptr<int> handle = CurrentHandle();
    if (!handle) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_READ_FAILED;
    }
    // A window starting at or past the end holds no data; touching its pages
    // would kill the process with SIGBUS.
    if (offset >= diskSize) {
        LOG_STREAM(4) << "mmap Read failed. offsetInBytes: " << offset << " bufferSizeInBytes: " << len
                      << " is at or beyond the end of the data, diskSize=" << diskSize;
        return DISK_DEVICE_READ_FAILED;
    }
    void* addr = ::mmap(nullptr, MMAP_WINDOW_BYTES, PROT_READ, MAP_SHARED, *handle, static_cast<off_t>(offset));
    if (addr == MAP_FAILED) {
        int err = errno;
        LOG_STREAM(4) << "mmap Read failed. offsetInBytes: " << offset << " bufferSizeInBytes: " << len
                      << " errno: " << oru_errstr(err);
        return DISK_DEVICE_READ_FAILED;
    }
    mapping = static_cast<char*>(addr);
    return DISK_DEVICE_OK;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::Write(const uint64_t& offset, uint64_t& len, const char* buffer)
{
    LOG_STREAM(0) << "WriteBlock,offsetInBytes = " << offset << ",dataLen=" << len;
    if (!CurrentHandle()) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_WRITE_FAILED;
    }
    if (offset >= diskSize) {
        LOG_STREAM(3) << "Write end of the file.";
        return DISK_DEVICE_END_OF_FILE;
    }
    if (RetryAttempts("restoreTryTimes", 0, "restoreRewriteInteval", "Get retry sleep timeout namestore =",
                      __PRETTY_FUNCTION__,
                      [&] { return DoWrite(offset, len, buffer) == DISK_DEVICE_OK; })) {
        return DISK_DEVICE_OK;
    }
    LOG_STREAM(4) << "write file failed.";
    return DISK_DEVICE_WRITE_FAILED;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::DoWrite(const uint64_t& offset, uint64_t& len, const char* buffer)
{
    std::shared_ptr<int> handle = CurrentHandle();
    if (!handle) {
        LOG_STREAM(4) << "The volume file is not open.";
        return DISK_DEVICE_WRITE_FAILED;
    }
    const uint64_t writeLen = ClipToSize(offset, len, diskSize);
    Oru::Timer timer;
    ssize_t ret = ::pwrite(*handle, buffer, writeLen, static_cast<off_t>(offset));
    int err = errno;
    LOG_STREAM(1) << "DoWrite End, duration=" << timer.Duration();
    if (ret >= 0 && static_cast<uint64_t>(ret) == writeLen) {
        return DISK_DEVICE_OK;
    }
    // A short write leaves errno untouched: say what happened instead.
    const std::string text = ret < 0 ? oru_errstr(err) : std::string("short write");
    SetErrString(text);
    LOG_STREAM(4) << "Write to file failed ! writeLen=" << writeLen << ", offsetInBytes=" << offset
                  << ",retLen=" << ret << ". error msg is " << text << ", error code is "
                  << (ret < 0 ? err : 0);
    return DISK_DEVICE_WRITE_FAILED;
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::Flush()
{
    if (readOnly) {
        return DISK_DEVICE_OK;
    }
    std::shared_ptr<int> handle = CurrentHandle();
    if (!handle) {
        SetErrString("The volume file is not open.");
        LOG_STREAM(4) << "Sync volume file[" << diskDevicePath << "] failed , error message is "
                      << "The volume file is not open.";
        return DISK_DEVICE_SYNC_FAILED;
    }
    Oru::Timer timer;
    if (::fsync(*handle) != 0) {
        const std::string text = oru_errstr(errno);
        SetErrString(text);
        LOG_STREAM(4) << "Sync volume file[" << diskDevicePath << "] failed , error message is " << text;
        return DISK_DEVICE_SYNC_FAILED;
    }
    LOG_STREAM(1) << "Flush End, duration=" << timer.Duration();
    return DISK_DEVICE_OK;
}

void DiskDeviceFile::ReleaseBufferCache(const uint64_t& start, const uint64_t& len)
{
    // The copy keeps the descriptor open even if Close runs meanwhile.
    std::shared_ptr<int> handle = CurrentHandle();
    LOG_STREAM(0) << "begin release buffer cache" << "start:" << start << "len:" << len;
    if (!handle) {
        LOG_STREAM(1) << "The volume file is not open.";
        return;
    }
    int ret = ::posix_fadvise(*handle, static_cast<off_t>(start), static_cast<off_t>(len), POSIX_FADV_DONTNEED);
    if (ret != 0) {
        LOG_STREAM(1) << "release one block buffer failed, "
                      << "don't worry, buffer will be release after disk closed ret: " << ret << ","
                      << oru_errstr(ret);
    }
}

DISK_DEVICE_RETURN_CODE DiskDeviceFile::Close()
{
    std::shared_ptr<int> handle;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        handle.swap(volHandle);
    }
    if (!handle) {
        return DISK_DEVICE_OK;
    }
    // Returning (on any path) drops `handle`; the last owner closes the descriptor.
    if (!readOnly && ::fsync(*handle) != 0) {
        const std::string text = oru_errstr(errno);
        SetErrString(text);
        LOG_STREAM(4) << "Sync volume file[" << diskDevicePath << "] failed , error message is " << text;
        return DISK_DEVICE_SYNC_FAILED;
    }
    int ret = ::posix_fadvise(*handle, 0, 0, POSIX_FADV_DONTNEED);
    if (ret != 0) {
        const std::string text = oru_errstr(ret);
        SetErrString(text);
        LOG_STREAM(4) << "Release buffer cache from file failed ! disk name=" << diskDevicePath
                      << ".error msg is " << text << ", error code is " << ret;
    }
    return DISK_DEVICE_OK;
}

std::string DiskDeviceFile::GetErrString()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return errString;
}

std::string DiskDeviceFile::GetDiskDevicePath()
{
    return diskDevicePath;
}
