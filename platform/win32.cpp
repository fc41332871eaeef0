// Win32 backend of the platform layer: the file interface and tick counter of
// the Windows API, called as the recorder disk and the output files need them.
#include "platform/platform.h"
#include "platform/sector_reads.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#ifdef TARNWELL_READ_FAULTS
#include <cstdlib>
#endif

namespace {

HANDLE Native(FileHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

FileHandle Portable(HANDLE handle) {
    return reinterpret_cast<FileHandle>(handle);
}

// Errors that say the handle itself cannot be read, the end of a raw disk,
// and a disk that went away (unplugged, its adapter locked up, its medium
// taken out or changed); every other error (ERROR_CRC, ERROR_IO_DEVICE,
// ERROR_SECTOR_NOT_FOUND, ERROR_READ_FAULT, ...) is the medium failing to
// deliver, and the sectors are worth trying one by one.
ReadOutcome ReadFailure(DWORD error) {
    switch (error) {
    case ERROR_HANDLE_EOF:
        return ReadOutcome::Ok;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
        return ReadOutcome::Gone;
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_USER_BUFFER:
    case ERROR_NOT_ENOUGH_MEMORY:
        return ReadOutcome::Failed;
    default:
        return ReadOutcome::MediumError;
    }
}

#ifdef TARNWELL_READ_FAULTS
// A test build's failing disk: a read of the file named by TARNWELL_BAD_FILE
// that reaches a byte range of TARNWELL_BAD_RANGES ("start-end,...") fails
// with ERROR_CRC and delivers nothing, as a disk driver fails a request that
// holds an unreadable sector. Once the file TARNWELL_GONE_FILE exists, or
// once the file has delivered TARNWELL_GONE_AFTER bytes, every read of it
// fails with the error TARNWELL_GONE_ERROR (a number; ERROR_CRC when not
// set), as a disk that stopped answering fails them. A disk read at a
// position of its own has the faults put where it is read.
struct Faults {
    std::vector<HANDLE> handles;
    long long delivered = 0; // the bytes that reads of the file delivered
};

Faults& TheFaults() {
    static Faults faults;
    return faults;
}

bool Faulty(HANDLE handle) {
    const std::vector<HANDLE>& handles = TheFaults().handles;
    return std::find(handles.begin(), handles.end(), handle) != handles.end();
}

void NoteOpened(const std::string& path, HANDLE handle) {
    const char* file = std::getenv("TARNWELL_BAD_FILE");
    if (file != nullptr && path == file && handle != INVALID_HANDLE_VALUE)
        TheFaults().handles.push_back(handle);
}

void NoteClosed(HANDLE handle) {
    std::vector<HANDLE>& handles = TheFaults().handles;
    handles.erase(std::remove(handles.begin(), handles.end(), handle), handles.end());
}

void NoteDelivered(HANDLE handle, DWORD got) {
    if (Faulty(handle))
        TheFaults().delivered += got;
}

bool StoppedAnswering() {
    const char* gone = std::getenv("TARNWELL_GONE_FILE");
    const char* after = std::getenv("TARNWELL_GONE_AFTER");
    return (gone != nullptr && GetFileAttributesA(gone) != INVALID_FILE_ATTRIBUTES) ||
           (after != nullptr && *after != '\0' &&
            TheFaults().delivered >= std::strtoll(after, nullptr, 10));
}

// The error of a read of count bytes at pos that reaches a bad sector of the
// faulty file, or NO_ERROR.
DWORD InjectedError(HANDLE handle, std::uint64_t pos, DWORD count) {
    if (!Faulty(handle))
        return NO_ERROR;
    if (StoppedAnswering()) {
        const char* error = std::getenv("TARNWELL_GONE_ERROR");
        return error != nullptr ? static_cast<DWORD>(std::strtoul(error, nullptr, 10)) : ERROR_CRC;
    }
    const char* text = std::getenv("TARNWELL_BAD_RANGES");
    const auto at = static_cast<long long>(pos);
    long long start = 0, end = 0;
    for (int used = 0; text && std::sscanf(text, "%lld-%lld%n", &start, &end, &used) == 2;
         text += used + 1) {
        if (at < end && at + static_cast<long long>(count) > start)
            return ERROR_CRC;
        if (text[used] != ',')
            break;
    }
    return NO_ERROR;
}

// The same for a read at the handle's own file position.
DWORD InjectedErrorHere(HANDLE handle, DWORD count) {
    LARGE_INTEGER zero{}, pos{};
    if (!Faulty(handle) || !SetFilePointerEx(handle, zero, &pos, FILE_CURRENT))
        return NO_ERROR;
    return InjectedError(handle, static_cast<std::uint64_t>(pos.QuadPart), count);
}
#else
void NoteOpened(const std::string&, HANDLE) {}
void NoteClosed(HANDLE) {}
void NoteDelivered(HANDLE, DWORD) {}
DWORD InjectedError(HANDLE, std::uint64_t, DWORD) {
    return NO_ERROR;
}
DWORD InjectedErrorHere(HANDLE, DWORD) {
    return NO_ERROR;
}
#endif

bool g_DiskFull = false; // the last failed write met a full disk

// The physical drives looked for: \\.\PhysicalDrive0 up to this, less one.
constexpr int kPhysicalDrives = 32;

// A file name for the wide-character calls, so that any character of a title
// can be in it whatever the system's code page: UTF-8, as the program makes
// its names; a name that is not UTF-8 (one that the command line gave in the
// code page, or a rip's file named by the title's bytes) in the code page, as
// the system has always read it.
std::wstring Wide(const std::string& name) {
    for (const UINT page : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
        const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int size = static_cast<int>(name.size());
        const int n = MultiByteToWideChar(page, flags, name.data(), size, nullptr, 0);
        if (n > 0 || name.empty()) {
            std::wstring wide(static_cast<std::size_t>(n), L'\0');
            MultiByteToWideChar(page, flags, name.data(), size, wide.data(), n);
            return wide;
        }
    }
    return std::wstring();
}

// The system's words for an error, without the full stop and line end.
std::string ErrorText(DWORD error) {
    char text[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof text, nullptr);
    std::string words(text, n);
    while (!words.empty() && (words.back() == '\r' || words.back() == '\n' || words.back() == '.' ||
                              words.back() == ' '))
        words.pop_back();
    return words.empty() ? "error " + std::to_string(error) : words;
}

// A disk (a physical drive or a raw volume) open for reading. It is read
// past the system's cache (FILE_FLAG_NO_BUFFERING) in whole sectors, at a
// position of its own: a read that fails must reach the disk, not a copy of
// its sectors, and is not retried by the system a page at a time, each retry
// another long wait on a failing disk. Image files are read through the
// cache as any file.
struct DeviceRead {
    std::uint32_t sectorSize = 1; // the disk's logical sector; 1 when not known
    bool refusedDirect = false;   // the disk does not take reads past the cache
    std::uint64_t pos = 0;
};

std::mutex g_DevicesLock;
std::map<HANDLE, DeviceRead> g_Devices;

bool DeviceOf(FileHandle handle, DeviceRead& device) {
    const std::lock_guard<std::mutex> lock(g_DevicesLock);
    const auto found = g_Devices.find(Native(handle));
    if (found == g_Devices.end())
        return false;
    device = found->second;
    return true;
}

void SetDevicePos(FileHandle handle, std::uint64_t pos) {
    const std::lock_guard<std::mutex> lock(g_DevicesLock);
    g_Devices[Native(handle)].pos = pos;
}

// Whether the path is one of the device namespace, \\.\PhysicalDrive2 or
// \\.\E: (or a file named through it, \\.\C:\disk.img).
bool DeviceNamespace(const std::string& path) {
    auto separator = [&](std::size_t i) { return path[i] == '\\' || path[i] == '/'; };
    return path.size() > 4 && separator(0) && separator(1) && path[2] == '.' && separator(3);
}

// Whether the handle is open on a disk or a volume rather than on a file:
// a disk tells its length, and no size as a file does.
bool OpenOnDisk(HANDLE handle) {
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return false;
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    LARGE_INTEGER size{};
    return DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                           &returned, nullptr) ||
           !GetFileSizeEx(handle, &size);
}

// The disk's logical sector size, as its access alignment tells it, else its
// geometry, else 512; 0 for a size that is not a power of two from 512 to
// kDirectSectorLimit, in which the disk cannot be read past the cache.
std::uint32_t LogicalSector(HANDLE disk) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DISK_GEOMETRY geometry{};
    DWORD returned = 0;
    std::uint32_t size = 0;
    if (DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                        sizeof alignment, &returned, nullptr) &&
        returned >= offsetof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR, BytesPerPhysicalSector))
        size = alignment.BytesPerLogicalSector;
    if (size == 0 && DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                                     sizeof geometry, &returned, nullptr))
        size = geometry.BytesPerSector;
    if (size == 0)
        return 512;
    return size >= 512 && size <= kDirectSectorLimit && (size & (size - 1)) == 0 ? size : 0;
}

// Opens the path read-only with the sharing given. A disk is opened past the
// cache where it takes that, and registered as a device read; a file as any
// file, with the hint that it is read front to back. INVALID_HANDLE_VALUE on
// failure, GetLastError telling why.
HANDLE OpenForReading(const std::string& path, DWORD share) {
    const std::wstring name = Wide(path);
    auto open = [&](DWORD flags) {
        return CreateFileW(name.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    };
    if (!DeviceNamespace(path))
        return open(FILE_FLAG_SEQUENTIAL_SCAN);
    HANDLE h = open(FILE_FLAG_NO_BUFFERING);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_INVALID_PARAMETER)
        return h;
    if (h != INVALID_HANDLE_VALUE) {
        const std::uint32_t sector = OpenOnDisk(h) ? LogicalSector(h) : 0;
        if (sector != 0) {
            DeviceRead read;
            read.sectorSize = sector;
            const std::lock_guard<std::mutex> lock(g_DevicesLock);
            g_Devices[h] = read;
            return h;
        }
        // A file named through the device namespace, or a disk of sectors
        // that are not read past the cache: opened again without it.
        CloseHandle(h);
    }
    // A disk that refused it is read through the cache, at a position of its
    // own all the same, and in whole sectors where it tells them: Windows
    // takes no other reads of a disk, whatever the flags.
    h = open(FILE_FLAG_SEQUENTIAL_SCAN);
    if (h != INVALID_HANDLE_VALUE && OpenOnDisk(h)) {
        DeviceRead read;
        read.sectorSize = std::max<std::uint32_t>(LogicalSector(h), 1);
        read.refusedDirect = true;
        const std::lock_guard<std::mutex> lock(g_DevicesLock);
        g_Devices[h] = read;
    }
    return h;
}

// One positioned read of a disk, until the count is complete or the disk
// ends: the offset goes with each read, the handle's own position is not
// used.
ReadOutcome PositionedRead(FileHandle handle, std::uint64_t offset, void* buffer,
                           std::uint32_t count, std::uint32_t& got) {
    got = 0;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (got < count) {
        const std::uint64_t at = offset + got;
        if (const DWORD injected = InjectedError(Native(handle), at, count - got);
            injected != NO_ERROR)
            return ReadFailure(injected);
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!ReadFile(Native(handle), bytes + got, count - got, &n, &place))
            return ReadFailure(GetLastError()); // the end of the disk: Ok
        if (n == 0)
            break;
        got += n;
    }
    return ReadOutcome::Ok;
}

// A handle for the disk's queries only: it needs no rights, and reads nothing.
HANDLE OpenForQueries(const std::string& path) {
    return CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// The disk's length: IOCTL_DISK_GET_LENGTH_INFO where the handle may read,
// else the size that the disk's geometry gives, which asks no rights.
std::uint64_t DiskLength(HANDLE disk) {
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                        &returned, nullptr))
        return static_cast<std::uint64_t>(length.Length.QuadPart);
    DISK_GEOMETRY_EX geometry{};
    if (DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                        sizeof geometry, &returned, nullptr))
        return static_cast<std::uint64_t>(geometry.DiskSize.QuadPart);
    return 0;
}

// The texts that the disk itself reports to IOCTL_STORAGE_QUERY_PROPERTY,
// at offsets into the descriptor (0: none), padded with blanks: vendor and
// product (model), or its serial number, joined by a blank.
std::string DiskDescriptorText(HANDLE disk, bool serial) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(STORAGE_DEVICE_DESCRIPTOR) char buffer[1024] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer,
                         sizeof buffer - 1, &returned, nullptr) ||
        returned < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return "";
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    std::vector<DWORD> offsets = {descriptor->VendorIdOffset, descriptor->ProductIdOffset};
    if (serial)
        offsets = {descriptor->SerialNumberOffset};
    std::string model;
    for (const DWORD offset : offsets) {
        if (offset == 0 || offset >= returned)
            continue;
        std::string text(buffer + offset, strnlen(buffer + offset, returned - offset));
        text.erase(text.find_last_not_of(' ') + 1);
        text.erase(0, text.find_first_not_of(' '));
        if (!text.empty())
            model += (model.empty() ? "" : " ") + text;
    }
    return model;
}

// The number of the physical drive that holds the volume of a drive letter
// (-1: none, or a volume that spans several).
long DriveOfLetter(char letter) {
    const std::string path = std::string("\\\\.\\") + letter + ":";
    HANDLE volume = OpenForQueries(path);
    if (volume == INVALID_HANDLE_VALUE)
        return -1;
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                    sizeof number, &returned, nullptr);
    CloseHandle(volume);
    return ok && number.DeviceType == FILE_DEVICE_DISK ? static_cast<long>(number.DeviceNumber)
                                                       : -1;
}

} // namespace

bool PlatOpenRead(const std::string& path, FileHandle& handle) {
    // Others may read meanwhile, none may write.
    HANDLE h = OpenForReading(path, FILE_SHARE_READ);
    handle = Portable(h);
    NoteOpened(path, h);
    return h != INVALID_HANDLE_VALUE;
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
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    handle = Portable(h);
    return h != INVALID_HANDLE_VALUE;
}

bool PlatSeek(FileHandle handle, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(MAXLONGLONG))
        return false;
    DeviceRead device;
    if (DeviceOf(handle, device)) {
        SetDevicePos(handle, offset);
        return true;
    }
    // SetFilePointer returns the low 32 bits of the new position, which can be
    // 0xFFFFFFFF for a valid position too; only GetLastError tells a failure.
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low =
        SetFilePointer(Native(handle), static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

ReadOutcome PlatRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t& got) {
    got = 0;
    DeviceRead device;
    if (DeviceOf(handle, device)) {
        const ReadOutcome outcome = ReadWholeSectors(PositionedRead, handle, device.sectorSize,
                                                     device.pos, buffer, count, got);
        SetDevicePos(handle, device.pos + got);
        NoteDelivered(Native(handle), got);
        return outcome;
    }
    if (const DWORD injected = InjectedErrorHere(Native(handle), count); injected != NO_ERROR)
        return ReadFailure(injected);
    DWORD n = 0;
    const BOOL ok = ReadFile(Native(handle), buffer, count, &n, nullptr);
    got = n;
    NoteDelivered(Native(handle), n);
    if (ok != FALSE)
        return ReadOutcome::Ok;
    return ReadFailure(GetLastError());
}

void PlatDropCache(FileHandle, std::uint64_t, std::uint32_t) {
    // A disk is read past the system's cache (or, where it refused that,
    // through a cache that no handle drops), and a file's cache cannot be
    // dropped through a handle open on it: nothing to do.
}

bool PlatWrite(FileHandle handle, const void* buffer, std::uint32_t count, std::uint32_t& written) {
    DWORD n = 0;
    const BOOL ok = WriteFile(Native(handle), buffer, count, &n, nullptr);
    written = n;
    if (ok == FALSE) {
        const DWORD error = GetLastError();
        g_DiskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
    }
    return ok != FALSE;
}

bool PlatWriteFoundDiskFull() {
    return g_DiskFull;
}

bool PlatRename(const std::string& from, const std::string& to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool PlatMakeFolders(const std::string& path) {
    for (std::size_t at = path.find_first_of("\\/", 1);; at = path.find_first_of("\\/", at + 1)) {
        const std::string folder = path.substr(0, at);
        // "D:" and "\\server\share" name no folder to make.
        if (!folder.empty() && folder.back() != ':' &&
            folder.find_first_not_of("\\/") != std::string::npos)
            CreateDirectoryW(Wide(folder).c_str(), nullptr);
        if (at == std::string::npos)
            break;
    }
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PlatSetFileTime(const std::string& path, const std::tm& localTime) {
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(localTime.tm_year + 1900);
    local.wMonth = static_cast<WORD>(localTime.tm_mon + 1);
    local.wDay = static_cast<WORD>(localTime.tm_mday);
    local.wHour = static_cast<WORD>(localTime.tm_hour);
    local.wMinute = static_cast<WORD>(localTime.tm_min);
    local.wSecond = static_cast<WORD>(localTime.tm_sec);
    SYSTEMTIME utc{};
    FILETIME time{};
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
        !SystemTimeToFileTime(&utc, &time))
        return false;
    const HANDLE file = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool set = SetFileTime(file, nullptr, &time, &time) != 0;
    CloseHandle(file);
    return set;
}

bool PlatFreeSpace(const std::string& folder, std::uint64_t& bytes) {
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(Wide(folder).c_str(), &free, nullptr, nullptr))
        return false;
    bytes = free.QuadPart;
    return true;
}

std::uint64_t PlatLargestFile(const std::string& folder) {
    // The volume's root: "D:\" of "D:\Recordings", the current one of a
    // relative path.
    wchar_t full[MAX_PATH] = {};
    wchar_t root[MAX_PATH] = {};
    wchar_t system[MAX_PATH] = {};
    if (GetFullPathNameW(Wide(folder).c_str(), MAX_PATH, full, nullptr) == 0 ||
        !GetVolumePathNameW(full, root, MAX_PATH) ||
        !GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH))
        return 0;
    return std::wstring(system).compare(0, 3, L"FAT") == 0 ? (std::uint64_t{1} << 32) - 1 : 0;
}

bool PlatRemove(const std::string& path) {
    return DeleteFileW(Wide(path).c_str()) != FALSE;
}

void PlatClose(FileHandle handle) {
    if (handle != kInvalidHandle) {
        {
            const std::lock_guard<std::mutex> lock(g_DevicesLock);
            g_Devices.erase(Native(handle));
        }
        NoteClosed(Native(handle));
        CloseHandle(Native(handle));
    }
}

bool PlatOpenImage(const std::string& path, FileHandle& handle) {
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    handle = Portable(h);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // Without the sparse flag, a write far into the file makes NTFS fill all
    // that lies before it with zeros. A volume that has no sparse files
    // (FAT32) still takes the image, holes written out.
    DWORD returned = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    return true;
}

bool PlatSize(FileHandle handle, std::uint64_t& size) {
    // A file tells its size; a disk or a volume only through its length.
    LARGE_INTEGER bytes{};
    if (GetFileSizeEx(Native(handle), &bytes)) {
        size = static_cast<std::uint64_t>(bytes.QuadPart);
        return true;
    }
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(Native(handle), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                    sizeof length, &returned, nullptr);
    size = ok ? static_cast<std::uint64_t>(length.Length.QuadPart) : 0;
    return ok != FALSE;
}

bool PlatGrow(FileHandle handle, std::uint64_t size) {
    LARGE_INTEGER bytes{};
    if (!GetFileSizeEx(Native(handle), &bytes))
        return false;
    if (static_cast<std::uint64_t>(bytes.QuadPart) >= size)
        return true;
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(Native(handle), end, nullptr, FILE_BEGIN) &&
           SetEndOfFile(Native(handle));
}

bool PlatSameFile(const std::string& a, const std::string& b) {
    // Files are the same when their volume and index are; a disk or a volume
    // has no index, and is named by its path, compared in full.
    BY_HANDLE_FILE_INFORMATION info[2]{};
    bool known[2]{};
    const std::string paths[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = CreateFileW(Wide(paths[i]).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        known[i] = GetFileInformationByHandle(h, &info[i]) != FALSE;
        CloseHandle(h);
    }
    if (known[0] && known[1])
        return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
               info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
               info[0].nFileIndexLow == info[1].nFileIndexLow;
    wchar_t full[2][MAX_PATH]{};
    for (int i = 0; i < 2; ++i) {
        if (GetFullPathNameW(Wide(paths[i]).c_str(), MAX_PATH, full[i], nullptr) == 0)
            return false;
    }
    return lstrcmpiW(full[0], full[1]) == 0;
}

std::string PlatDiskSerial(const std::string& path) {
    HANDLE h = OpenForQueries(path);
    if (h == INVALID_HANDLE_VALUE)
        return "";
    const std::string serial = DiskDescriptorText(h, true);
    CloseHandle(h);
    return serial;
}

bool PlatListDisks(std::vector<PlatDisk>& disks) {
    disks.clear();
    std::vector<long> letterDrive(26, -1);
    const DWORD letters = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (letters & (1u << i))
            letterDrive[static_cast<std::size_t>(i)] = DriveOfLetter(static_cast<char>('A' + i));
    }
    for (long n = 0; n < kPhysicalDrives; ++n) {
        PlatDisk disk;
        disk.name = "\\\\.\\PhysicalDrive" + std::to_string(n);
        HANDLE h = OpenForQueries(disk.name);
        if (h == INVALID_HANDLE_VALUE)
            continue; // no such drive
        disk.size = DiskLength(h);
        disk.model = DiskDescriptorText(h, false);
        CloseHandle(h);
        for (int i = 0; i < 26; ++i) {
            if (letterDrive[static_cast<std::size_t>(i)] == n)
                disk.letters +=
                    std::string(disk.letters.empty() ? "" : " ") + static_cast<char>('A' + i) + ":";
        }
        disks.push_back(disk);
    }
    return true;
}

DiskOpen PlatOpenDisk(const std::string& name, FileHandle& handle, std::string& reason) {
    // The system keeps its own disks open for writing: a handle that denied
    // others the writing would not be given. This one only reads, past the
    // cache as PlatOpenRead's.
    HANDLE h = OpenForReading(name, FILE_SHARE_READ | FILE_SHARE_WRITE);
    handle = Portable(h);
    if (h != INVALID_HANDLE_VALUE)
        return DiskOpen::Ok;
    const DWORD error = GetLastError();
    reason = ErrorText(error);
    return error == ERROR_ACCESS_DENIED ? DiskOpen::Denied : DiskOpen::Failed;
}

std::string PlatDiskRightsHint() {
    return "opening a disk needs an administrator's rights: type cmd in the Start menu, "
           "right-click \"Command Prompt\", choose \"Run as administrator\" and run "
           "tarnwell disks there";
}

bool PlatConsoleOfItsOwn() {
    // Explorer gives a console program a console of its own; a console
    // window or a script shares theirs, and redirected input is no console.
    DWORD processes[2] = {};
    DWORD mode = 0;
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

bool PlatConsoleIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

std::uint32_t PlatTicks() {
    return GetTickCount();
}
