// POSIX backend of the platform layer.
#include "platform/platform.h"
#include "platform/sector_reads.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

namespace {

// "\\.\g:" names the raw volume of drive g: on Windows; here it is /dev/sdg.
std::string MapRawVolume(const std::string& path) {
    const bool rawVolume = path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 &&
                           std::isalpha(static_cast<unsigned char>(path[4])) && path[5] == ':';
    if (!rawVolume)
        return path;
    return std::string("/dev/sd") +
           static_cast<char>(std::tolower(static_cast<unsigned char>(path[4])));
}

int Fd(FileHandle handle) {
    return static_cast<int>(handle);
}

// Errors that say the handle itself cannot be read, and those that say the
// device went away (ENODEV, ENXIO: unplugged, or dropped off the bus); every
// other error (EIO above all) is the medium failing to deliver, and the
// sectors are worth trying one by one.
ReadOutcome ReadFailure(int error) {
    switch (error) {
    case ENODEV:
    case ENXIO:
#ifdef ENOMEDIUM
    case ENOMEDIUM:
#endif
        return ReadOutcome::Gone;
    case EBADF:
    case EFAULT:
    case EINVAL:
    case EISDIR:
        return ReadOutcome::Failed;
    default:
        return ReadOutcome::MediumError;
    }
}

bool g_DiskFull = false; // the last failed write met a full disk

// The first line of a file of /sys, without the blanks around it ("" when
// there is none).
std::string SysLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

// A disk (a block device) open for reading. It is read past the system's
// cache (O_DIRECT) in whole sectors, at a position of its own: a read that
// fails must reach the disk, not a copy of its pages, and is not retried by
// the system a page at a time, each retry another long wait on a failing
// disk. Image files are read through the cache as any file.
struct DeviceRead {
    std::string path;             // the device node it was opened by
    dev_t device = 0;             // the device behind the node then
    std::uint32_t sectorSize = 1; // the disk's logical sector; 1 when read through the cache
    bool refusedDirect = false;   // the device does not take direct reads
    std::uint64_t pos = 0;
};

std::mutex g_DevicesLock;
std::map<int, DeviceRead> g_Devices; // by file descriptor

bool DeviceOf(FileHandle handle, DeviceRead& device) {
    const std::lock_guard<std::mutex> lock(g_DevicesLock);
    const auto found = g_Devices.find(Fd(handle));
    if (found == g_Devices.end())
        return false;
    device = found->second;
    return true;
}

void SetDevicePos(FileHandle handle, std::uint64_t pos) {
    const std::lock_guard<std::mutex> lock(g_DevicesLock);
    g_Devices[Fd(handle)].pos = pos;
}

// The disk's logical sector size, 512 where the system does not say.
std::uint32_t LogicalSector(int fd) {
#ifdef BLKSSZGET
    int size = 0;
    if (::ioctl(fd, BLKSSZGET, &size) == 0 && size >= 512 &&
        static_cast<std::uint32_t>(size) <= kDirectSectorLimit && (size & (size - 1)) == 0)
        return static_cast<std::uint32_t>(size);
#else
    (void)fd;
#endif
    return 512;
}

// Opens the device node read-only, past the cache where the device takes it;
// registers it as a device read. -1 on failure, errno telling why.
int OpenDevice(const std::string& path, dev_t device) {
    int fd;
    bool direct = true;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EINVAL) {
        direct = false;
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0)
        return -1;
    DeviceRead read;
    read.path = path;
    read.device = device;
    read.sectorSize = direct ? LogicalSector(fd) : 1;
    read.refusedDirect = !direct;
    const std::lock_guard<std::mutex> lock(g_DevicesLock);
    g_Devices[fd] = read;
    return fd;
}

// One positioned read of a device, until the count is complete or the disk
// ends.
ReadOutcome PositionedRead(FileHandle handle, std::uint64_t offset, void* buffer,
                           std::uint32_t count, std::uint32_t& got) {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
        const ssize_t n =
            ::pread(Fd(handle), bytes + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadFailure(errno);
        if (n == 0)
            break;
        got += static_cast<std::uint32_t>(n);
    }
    return ReadOutcome::Ok;
}

// Whether the node the device was opened by is gone, or names another
// device now: the disk was unplugged, whatever error its reads give.
bool NodeGone(const DeviceRead& device) {
    struct stat st {};
    return ::stat(device.path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) ||
           st.st_rdev != device.device;
}

// A loop device reads the file behind it through the system's cache, even
// when the loop device itself is read past it: that file's copy of the bytes
// is dropped too, or it answers for a disk behind the file that went away.
void DropLoopFileCache(dev_t device, std::uint64_t from, std::uint64_t to) {
    const std::string loop = "/sys/dev/block/" + std::to_string(major(device)) + ":" +
                             std::to_string(minor(device)) + "/loop/";
    const std::string file = SysLine(loop + "backing_file");
    if (file.empty())
        return;
    const std::uint64_t shift = std::strtoull(SysLine(loop + "offset").c_str(), nullptr, 10);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::posix_fadvise(fd, static_cast<off_t>(from + shift), static_cast<off_t>(to - from),
                    POSIX_FADV_DONTNEED);
    ::close(fd);
}

} // namespace

bool PlatOpenRead(const std::string& path, FileHandle& handle) {
    const std::string name = MapRawVolume(path);
    struct stat st {};
    int fd;
    if (::stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        fd = OpenDevice(name, st.st_rdev);
    } else {
        do {
            fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    }
    handle = fd < 0 ? kInvalidHandle : fd;
    if (fd >= 0)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd >= 0;
}

bool PlatDirectRefused(FileHandle handle) {
    DeviceRead device;
    return DeviceOf(handle, device) && device.refusedDirect;
}

std::uint32_t PlatDirectSector(FileHandle handle) {
    DeviceRead device;
    return DeviceOf(handle, device) && !device.refusedDirect ? device.sectorSize : 0;
}

bool PlatCreateWrite(const std::string& path, FileHandle& handle) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    handle = fd < 0 ? kInvalidHandle : fd;
    return fd >= 0;
}

bool PlatSeek(FileHandle handle, std::uint64_t offset) {
    if (handle == kInvalidHandle ||
        offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    DeviceRead device;
    if (DeviceOf(handle, device)) {
        SetDevicePos(handle, offset);
        return true;
    }
    return ::lseek(Fd(handle), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

ReadOutcome PlatRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t& got) {
    got = 0;
    if (handle == kInvalidHandle)
        return ReadOutcome::Failed;
    DeviceRead device;
    if (DeviceOf(handle, device)) {
        ReadOutcome outcome = ReadWholeSectors(PositionedRead, handle, device.sectorSize,
                                               device.pos, buffer, count, got);
        SetDevicePos(handle, device.pos + got);
        if (outcome == ReadOutcome::MediumError && NodeGone(device))
            outcome = ReadOutcome::Gone;
        return outcome;
    }
    // Like ReadFile on a file: keep reading until the count is complete or the
    // file ends, so that only the end of the data gives a short count.
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
        const ssize_t n = ::read(Fd(handle), bytes + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadFailure(errno);
        if (n == 0)
            break;
        got += static_cast<std::uint32_t>(n);
    }
    return ReadOutcome::Ok;
}

void PlatDropCache(FileHandle handle, std::uint64_t offset, std::uint32_t count) {
    // Pages are dropped whole: the range is widened to the pages it touches.
    constexpr std::uint64_t kPage = 4096;
    const std::uint64_t from = offset / kPage * kPage;
    const std::uint64_t to = (offset + count + kPage - 1) / kPage * kPage;
    if (handle == kInvalidHandle)
        return;
    ::posix_fadvise(Fd(handle), static_cast<off_t>(from), static_cast<off_t>(to - from),
                    POSIX_FADV_DONTNEED);
    DeviceRead device;
    if (DeviceOf(handle, device))
        DropLoopFileCache(device.device, from, to);
}

bool PlatWrite(FileHandle handle, const void* buffer, std::uint32_t count, std::uint32_t& written) {
    written = 0;
    if (handle == kInvalidHandle)
        return false;
    const auto* bytes = static_cast<const char*>(buffer);
    while (written < count) {
        const ssize_t n = ::write(Fd(handle), bytes + written, count - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            g_DiskFull = n < 0 && (errno == ENOSPC || errno == EDQUOT);
            return false;
        }
        written += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool PlatWriteFoundDiskFull() {
    return g_DiskFull;
}

bool PlatRename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool PlatMakeFolders(const std::string& path) {
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string folder = path.substr(0, at);
        if (!folder.empty() && ::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        if (at == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PlatSetFileTime(const std::string& path, const std::tm& localTime) {
    std::tm moment = localTime;
    moment.tm_isdst = -1; // as the calendar of the place had it then
    const std::time_t t = std::mktime(&moment);
    if (t == static_cast<std::time_t>(-1))
        return false;
    const timeval times[2] = {{t, 0}, {t, 0}};
    return ::utimes(path.c_str(), times) == 0;
}

bool PlatFreeSpace(const std::string& folder, std::uint64_t& bytes) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0)
        return false;
    bytes = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    return true;
}

std::uint64_t PlatLargestFile(const std::string& folder) {
#ifdef __linux__
    constexpr long kMsdosMagic = 0x4d44; // FAT12, FAT16 and FAT32 (vfat, msdos)
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == kMsdosMagic)
        return (std::uint64_t{1} << 32) - 1;
#else
    (void)folder;
#endif
    return 0;
}

bool PlatRemove(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

void PlatClose(FileHandle handle) {
    if (handle == kInvalidHandle)
        return;
    {
        const std::lock_guard<std::mutex> lock(g_DevicesLock);
        g_Devices.erase(Fd(handle));
    }
    ::close(Fd(handle));
}

bool PlatOpenImage(const std::string& path, FileHandle& handle) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    handle = fd < 0 ? kInvalidHandle : fd;
    return fd >= 0;
}

bool PlatSize(FileHandle handle, std::uint64_t& size) {
    // The end of a disk device as of a file: lseek tells both.
    const off_t end = ::lseek(Fd(handle), 0, SEEK_END);
    size = end < 0 ? 0 : static_cast<std::uint64_t>(end);
    return end >= 0;
}

bool PlatGrow(FileHandle handle, std::uint64_t size) {
    struct stat st {};
    if (::fstat(Fd(handle), &st) != 0 ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    return static_cast<std::uint64_t>(st.st_size) >= size ||
           ::ftruncate(Fd(handle), static_cast<off_t>(size)) == 0;
}

bool PlatSameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(MapRawVolume(a).c_str(), &sa) != 0 || ::stat(MapRawVolume(b).c_str(), &sb) != 0)
        return false;
    if (S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode))
        return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string PlatDiskSerial(const std::string& path) {
    struct stat st {};
    if (::stat(MapRawVolume(path).c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return "";
    const std::string device = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                               std::to_string(minor(st.st_rdev)) + "/device/";
    const std::string serial = SysLine(device + "serial");
    return serial.empty() ? SysLine(device + "wwid") : serial;
}

bool PlatListDisks(std::vector<PlatDisk>& disks) {
    disks.clear();
    DIR* dir = ::opendir("/sys/block");
    if (dir == nullptr)
        return false;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] != '.' && name.rfind("ram", 0) != 0 && name.rfind("zram", 0) != 0)
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string sys = "/sys/block/" + name;
        PlatDisk disk;
        disk.name = "/dev/" + name;
        // The size in 512-byte sectors, whatever the disk's own sector size.
        disk.size = std::strtoull(SysLine(sys + "/size").c_str(), nullptr, 10) * 512;
        if (name.rfind("loop", 0) == 0) {
            const std::string file = SysLine(sys + "/loop/backing_file");
            if (file.empty())
                continue; // a loop device with nothing behind it
            disk.model = "loop device of " + file;
        } else {
            const std::string vendor = SysLine(sys + "/device/vendor");
            const std::string model = SysLine(sys + "/device/model");
            disk.model = vendor + (vendor.empty() || model.empty() ? "" : " ") + model;
        }
        disks.push_back(disk);
    }
    return true;
}

DiskOpen PlatOpenDisk(const std::string& name, FileHandle& handle, std::string& reason) {
    struct stat st {};
    int fd;
    if (::stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        fd = OpenDevice(name, st.st_rdev);
    } else {
        do {
            fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    }
    handle = fd < 0 ? kInvalidHandle : fd;
    if (fd >= 0)
        return DiskOpen::Ok;
    // Root denied is no matter of rights that sudo could give (a container
    // that keeps its host's disks from it, say).
    const int error = errno;
    reason = std::strerror(error);
    return (error == EACCES || error == EPERM) && ::geteuid() != 0 ? DiskOpen::Denied
                                                                   : DiskOpen::Failed;
}

std::string PlatDiskRightsHint() {
    return "opening a disk needs root's rights: run sudo tarnwell disks";
}

bool PlatConsoleOfItsOwn() {
    return false;
}

bool PlatConsoleIsTerminal() {
    return ::isatty(1) == 1;
}

std::uint32_t PlatTicks() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}
