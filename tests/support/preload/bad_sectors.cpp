// A library preloaded into the real program that makes one file behave like a
// disk with unreadable sectors: a read that reaches a bad byte range delivers
// the bytes before it (a short read), and a read that starts inside one fails
// with EIO, as a disk's read does. It also counts the opens of that file that
// ask for more than reading, which a disk must never see.
//   TARNWELL_BAD_FILE    the file, by the name the program opens it with
//   TARNWELL_BAD_RANGES  byte ranges "start-end,start-end" (end exclusive)
//   TARNWELL_BAD_COUNT   a file to which the number of failed reads is written
//   TARNWELL_READ_COUNT  a file to which the number of all reads of the file is written
//   TARNWELL_WRITE_OPENS a file to which the number of opens for writing is written
//   TARNWELL_READ_BYTES  a file to which the number of bytes read is written
//   TARNWELL_READS_BY_FILE a file to which every file opened is written with
//                        the bytes read of it in all, "path bytes" a line
//   TARNWELL_KILL_AT     a byte offset: the read that would reach it kills the
//                        program instead (SIGKILL), as a crash stops it
//   TARNWELL_READ_DELAY  milliseconds that each read of the file waits first, as
//                        a failing disk takes its time over retries
//   TARNWELL_GONE_AFTER  a number of bytes: once the file has delivered that
//                        many, every read of it fails, as a disk that stopped
//                        answering fails them
//   TARNWELL_GONE_ERRNO  the error of those reads (a number; EIO when not set)
//   TARNWELL_FREE_BYTES  the free space that statvfs gives for any folder
//   TARNWELL_FS_TYPE     the file system type (f_type) that statfs gives, for
//                        example 0x4d44 for FAT32
// read, pread and pread64 are replaced, and both open and open64, so the large-file names are not
// mapped, and the forms that fortified programs call (GNU ddrescue among them).
#undef _FILE_OFFSET_BITS
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Faults {
    const char* file = std::getenv("TARNWELL_BAD_FILE");
    std::vector<std::pair<off64_t, off64_t>> ranges;
    std::vector<bool> bad = std::vector<bool>(4096);
    long failedReads = 0;
    long reads = 0;
    long writeOpens = 0;
    long bytesRead = 0;
    const char* byFile = std::getenv("TARNWELL_READS_BY_FILE");
    std::vector<std::string> paths = std::vector<std::string>(4096); // by descriptor
    std::map<std::string, long> bytesOf;
    const char* killAt = std::getenv("TARNWELL_KILL_AT");
    const char* delayMs = std::getenv("TARNWELL_READ_DELAY");
    const char* goneAfter = std::getenv("TARNWELL_GONE_AFTER");
    const char* goneErrno = std::getenv("TARNWELL_GONE_ERRNO");

    Faults() {
        const char* text = std::getenv("TARNWELL_BAD_RANGES");
        long long start = 0, end = 0;
        for (int used = 0; text && std::sscanf(text, "%lld-%lld%n", &start, &end, &used) == 2;
             text += used + (text[used] == ',')) {
            ranges.emplace_back(start, end);
            if (text[used] != ',')
                break;
        }
    }
    ~Faults() {
        Save("TARNWELL_BAD_COUNT", failedReads);
        Save("TARNWELL_READ_COUNT", reads);
        Save("TARNWELL_WRITE_OPENS", writeOpens);
        Save("TARNWELL_READ_BYTES", bytesRead);
        if (FILE* f = byFile ? std::fopen(byFile, "w") : nullptr) {
            for (const auto& [path, bytes] : bytesOf)
                std::fprintf(f, "%s %ld\n", path.c_str(), bytes);
            std::fclose(f);
        }
    }
    // Counts what a read of fd delivered.
    ssize_t Count(int fd, ssize_t n) {
        if (byFile && n > 0 && fd >= 0 && static_cast<std::size_t>(fd) < paths.size())
            bytesOf[paths[static_cast<std::size_t>(fd)]] += n;
        return n;
    }
    static void Save(const char* variable, long count) {
        if (const char* name = std::getenv(variable)) {
            if (FILE* f = std::fopen(name, "w")) {
                std::fprintf(f, "%ld\n", count);
                std::fclose(f);
            }
        }
    }
};

Faults& TheFaults() {
    static Faults faults;
    return faults;
}

template <typename F> F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int Opened(const char* path, int flags, int fd) {
    Faults& faults = TheFaults();
    const bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND));
    if (writes && faults.file && std::strcmp(path, faults.file) == 0)
        ++faults.writeOpens;
    if (fd >= 0 && static_cast<std::size_t>(fd) < faults.bad.size()) {
        faults.bad[static_cast<std::size_t>(fd)] =
            faults.file && std::strcmp(path, faults.file) == 0;
        faults.paths[static_cast<std::size_t>(fd)] = path;
        if (faults.byFile)
            faults.bytesOf.emplace(path, 0);
    }
    return fd;
}

// A read of count bytes of fd at pos (-1: at the file's position) with the
// faults; realRead(n) reads n bytes there.
template <typename Read> ssize_t Faulted(int fd, size_t count, off64_t pos, Read realRead) {
    Faults& faults = TheFaults();
    if (fd < 0 || static_cast<std::size_t>(fd) >= faults.bad.size() ||
        !faults.bad[static_cast<std::size_t>(fd)])
        return faults.Count(fd, realRead(count));
    ++faults.reads;
    if (faults.delayMs) {
        const long ms = std::atol(faults.delayMs);
        timespec wait{ms / 1000, ms % 1000 * 1000000};
        while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
        }
    }
    if (faults.goneAfter && faults.bytesRead >= std::atol(faults.goneAfter)) {
        ++faults.failedReads;
        errno = faults.goneErrno ? std::atoi(faults.goneErrno) : EIO;
        return -1;
    }
    if (pos < 0)
        pos = lseek64(fd, 0, SEEK_CUR);
    for (const auto& [start, end] : faults.ranges) {
        if (pos >= end || pos + static_cast<off64_t>(count) <= start)
            continue;
        if (pos >= start) {
            ++faults.failedReads;
            errno = EIO;
            return -1;
        }
        count = static_cast<size_t>(start - pos); // up to the bad range
    }
    if (faults.killAt && pos + static_cast<off64_t>(count) > std::atoll(faults.killAt))
        ::kill(::getpid(), SIGKILL);
    const ssize_t n = realRead(count);
    faults.bytesRead += n > 0 ? n : 0;
    return faults.Count(fd, n);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    static auto real = Next<int (*)(const char*, int, ...)>("open");
    return Opened(path, flags, real(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    static auto real = Next<int (*)(const char*, int, ...)>("open64");
    return Opened(path, flags, real(path, flags, mode));
}

int __open_2(const char* path, int flags) {
    static auto real = Next<int (*)(const char*, int)>("__open_2");
    return Opened(path, flags, real(path, flags));
}

int __open64_2(const char* path, int flags) {
    static auto real = Next<int (*)(const char*, int)>("__open64_2");
    return Opened(path, flags, real(path, flags));
}

// A descriptor closed is no longer the file's: the C library opens some
// files (std::ifstream's) without calling open, and gets the number again.
int close(int fd) {
    static auto real = Next<int (*)(int)>("close");
    Faults& faults = TheFaults();
    if (fd >= 0 && static_cast<std::size_t>(fd) < faults.bad.size())
        faults.bad[static_cast<std::size_t>(fd)] = false;
    return real(fd);
}

ssize_t read(int fd, void* buffer, size_t count) {
    static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
    return Faulted(fd, count, -1, [&](size_t n) { return real(fd, buffer, n); });
}

// A disk is read at offsets (pread), a file at its position (read).
ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    static auto real = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    return Faulted(fd, count, offset, [&](size_t n) { return real(fd, buffer, n, offset); });
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
    static auto real = Next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
    return Faulted(fd, count, offset, [&](size_t n) { return real(fd, buffer, n, offset); });
}

// The output folder's disk as a test wants it: its free space, its type.
int statvfs(const char* path, struct statvfs* fs) {
    static auto real = Next<int (*)(const char*, struct statvfs*)>("statvfs");
    const int result = real(path, fs);
    if (const char* free = std::getenv("TARNWELL_FREE_BYTES"); free && result == 0) {
        fs->f_frsize = 1;
        fs->f_bavail = static_cast<fsblkcnt_t>(std::atoll(free));
    }
    return result;
}

int statvfs64(const char* path, struct statvfs64* fs) {
    static auto real = Next<int (*)(const char*, struct statvfs64*)>("statvfs64");
    const int result = real(path, fs);
    if (const char* free = std::getenv("TARNWELL_FREE_BYTES"); free && result == 0) {
        fs->f_frsize = 1;
        fs->f_bavail = static_cast<fsblkcnt64_t>(std::atoll(free));
    }
    return result;
}

int statfs(const char* path, struct statfs* fs) {
    static auto real = Next<int (*)(const char*, struct statfs*)>("statfs");
    const int result = real(path, fs);
    if (const char* type = std::getenv("TARNWELL_FS_TYPE"); type && result == 0)
        fs->f_type = static_cast<decltype(fs->f_type)>(std::strtol(type, nullptr, 0));
    return result;
}

int statfs64(const char* path, struct statfs64* fs) {
    static auto real = Next<int (*)(const char*, struct statfs64*)>("statfs64");
    const int result = real(path, fs);
    if (const char* type = std::getenv("TARNWELL_FS_TYPE"); type && result == 0)
        fs->f_type = static_cast<decltype(fs->f_type)>(std::strtol(type, nullptr, 0));
    return result;
}
}
