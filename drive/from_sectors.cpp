// The disk's structures made from sectors read already: the cluster table
// and the table of contents with its recordings, as a look at a disk that
// may not be a recorder's reads them all at once.
#include "drive/drive.h"

#include <algorithm>
#include <cstring>

CClusterTable::CClusterTable(const std::uint8_t* entries)
    : Entries(new std::uint8_t[kClusterTableBytes]), Loaded(true) {
    std::memcpy(Entries, entries, kClusterTableBytes);
}

CPVRDrive::CPVRDrive(CDriveSession& drive, const std::uint8_t* sectors, std::size_t bytes)
    : Drive(drive) {
    std::memcpy(Toc, sectors, std::min<std::size_t>(bytes, kSectorSize));
    TocLost = bytes < kSectorSize;
    for (int slot = 0; slot < TocFileCount(); ++slot) {
        const std::size_t at = (kFirstHeaderSector + static_cast<std::size_t>(slot)) * kSectorSize;
        if (at + kSectorSize > bytes)
            break;
        FileList.push_back(new CPVRFile(Drive, slot, sectors + at));
    }
}
