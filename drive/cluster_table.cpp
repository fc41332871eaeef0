// Raw access to the recorder disk and its cluster table.
#include "drive/drive.h"
#include "platform/runlog.h"

#include <algorithm>
#include <bitset>
#include <iostream>

bool SeekSector(FileHandle handle, std::uint64_t sector) {
    return PlatSeek(handle, sector * kSectorSize);
}

CClusterTable::CClusterTable(CDriveSession& drive, bool& ok) {
    ok = false;
    DriveOpen = drive.IsOpen();
    if (!DriveOpen)
        return;
    Entries = new std::uint8_t[kClusterTableBytes]();
    std::uint32_t got = 0;
    const bool intact = ReadDrive(drive, kClusterTableOffset, Entries, kClusterTableBytes, got);
    Loaded = got == kClusterTableBytes;
    ok = Loaded;
    if (Loaded && !intact)
        ReportLostEntries(drive);
}

void CClusterTable::ReportLostEntries(const CDriveSession& drive) const {
    const CUnreadableSectors& unreadable = drive.Unreadable();
    // The entries of an unreadable sector read as 0: chains through them end
    // there. Each run of such sectors is named by the clusters it describes.
    constexpr std::uint32_t kEntriesPerSector = kSectorSize / kClusterTableEntrySize;
    constexpr std::uint32_t kTableSectors = kClusterTableBytes / kSectorSize;
    for (std::uint32_t sector = 0; sector < kTableSectors;) {
        if (!unreadable.Overlaps(kClusterTableOffset + sector * kSectorSize, kSectorSize)) {
            ++sector;
            continue;
        }
        const std::uint32_t first = sector;
        while (sector < kTableSectors &&
               unreadable.Overlaps(kClusterTableOffset + sector * kSectorSize, kSectorSize))
            ++sector;
        const std::uint32_t firstCluster = std::max(first * kEntriesPerSector, 1u);
        const std::uint32_t lastCluster =
            std::min(sector * kEntriesPerSector, kClusterTableEntries) - 1;
        const std::string line = "the cluster table entries of clusters " +
                                 std::to_string(firstCluster) + " to " +
                                 std::to_string(lastCluster) + " of drive " + drive.Name() +
                                 " are lost: chains through them end there";
        ConsoleAndLog(drive.Console(), line);
    }
}

CClusterTable::~CClusterTable() {
    delete[] Entries;
}

std::uint16_t CClusterTable::NextCluster(std::uint32_t cluster) const {
    // Entry 0 is never consulted; a table that was not read in full ends
    // every chain at its first cluster rather than follow unread entries.
    if (!Loaded || cluster == 0 || cluster >= kClusterTableEntries)
        return kChainEnd;
    const std::uint8_t* entry = Entries + cluster * kClusterTableEntrySize;
    return static_cast<std::uint16_t>(entry[0] | (entry[1] << 8));
}

std::vector<std::int32_t> CClusterTable::Chain(std::int32_t firstCluster) const {
    std::vector<std::int32_t> chain;
    std::bitset<kClusterTableEntries> taken;
    std::uint32_t cluster = static_cast<std::uint32_t>(firstCluster);
    chain.push_back(firstCluster);
    // 0 and numbers beyond the table end the chain after being taken; the
    // comparison is unsigned, so a negative first cluster ends it too.
    while (cluster != 0 && cluster < kClusterTableEntries) {
        taken.set(cluster);
        const std::uint16_t next = NextCluster(cluster);
        if (next == kChainEnd)
            break;
        if (next < kClusterTableEntries && taken.test(next))
            break; // the chain comes back to itself: a damaged table
        chain.push_back(next);
        cluster = next;
    }
    return chain;
}

void CClusterTable::PrintChain(std::ostream& os, std::int32_t firstCluster) const {
    os.unsetf(std::ios::dec);
    os.setf(std::ios::hex);
    for (std::int32_t cluster : Chain(firstCluster))
        os << " " << cluster;
    os << std::endl;
    os.unsetf(std::ios::hex);
}

void CClusterTable::BuildChain(std::int32_t firstCluster, std::vector<std::int32_t>& list,
                               std::ostream& console) const {
    std::ostream* streams[] = {g_Log, &console};
    for (std::ostream* os : streams) {
        *os << "Dump clusters...";
        os->unsetf(std::ios::dec);
        os->setf(std::ios::hex);
    }
    for (std::int32_t cluster : Chain(firstCluster)) {
        list.push_back(cluster);
        for (std::ostream* os : streams)
            *os << " " << cluster;
    }
    for (std::ostream* os : streams) {
        *os << std::endl;
        os->unsetf(std::ios::hex);
    }
}
