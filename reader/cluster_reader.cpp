// A recording's cluster chain read block by block as one stream.
#include "drive/drive.h"
#include "platform/runlog.h"
#include "reader/reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

CClusterReader::CClusterReader(CDriveSession& drive, std::int32_t firstCluster) : Drive(drive) {
    if (!Drive.IsOpen()) {
        EOBS = true;
        return;
    }
    if (Drive.ClusterTable() != nullptr)
        Drive.ClusterTable()->BuildChain(firstCluster, ClusterList, Drive.Console());
    Allocate();
}

CClusterReader::CClusterReader(CDriveSession& drive, std::vector<std::int32_t> clusters)
    : Drive(drive) {
    if (!Drive.IsOpen()) {
        EOBS = true;
        return;
    }
    ClusterList = std::move(clusters);
    *g_Log << "Dump clusters..." << std::hex;
    for (const std::int32_t cluster : ClusterList)
        *g_Log << " " << cluster;
    *g_Log << std::dec << std::endl;
    Allocate();
}

// A reader on a drive that could be opened gets its buffer and is rewound;
// one on a drive that could not has no list and no buffer, and is at its end
// from the start.
void CClusterReader::Allocate() {
    Storage = static_cast<std::uint8_t*>(::operator new[](kCarryBytes + kBlockSize, kIoAlignment));
    Buffer = Storage + kCarryBytes;
    BytesValid = 0;
    Rewind();
}

CClusterReader::~CClusterReader() {
    ::operator delete[](Storage, kIoAlignment);
}

bool CClusterReader::LoadNextBlock() {
    if (Buffer == nullptr) {
        EOBS = true;
        return false;
    }
    // The buffer holds the block before the one to be read, in full.
    bool carryTail = BlocksRead > 0 && BytesValid == kBlockSize;
    if (BlocksRead == static_cast<std::int32_t>(kBlocksPerCluster)) {
        ++ClusterIndex;
        if (ClusterList.empty() || ClusterIndex >= static_cast<std::int32_t>(ClusterList.size())) {
            EOBS = true;
            return false;
        }
        const std::int32_t cluster = ClusterList[static_cast<std::size_t>(ClusterIndex)];
        *g_Log << "goto next cluster " << ClusterIndex << "/" << cluster << std::endl;
        BlocksRead = 0;
        carryTail = false;
    }
    return ReadBlock(carryTail);
}

bool CClusterReader::ReadBlock(bool carryTail) {
    CarryBytes = carryTail ? kCarryBytes : 0;
    if (carryTail)
        std::memcpy(Buffer - kCarryBytes, Buffer + kBlockSize - kCarryBytes, kCarryBytes);
    // Cluster numbers below 1 name no place on the disk: the data ends there,
    // as it does at an end that was set. Sectors that cannot be read arrive
    // as zeros, so only the end of the data ends the stream. Of a block that
    // holds the end set, the sectors up to it are read.
    const std::int64_t cluster =
        ClusterList.empty() ? 0 : ClusterList[static_cast<std::size_t>(ClusterIndex)];
    const std::uint64_t start = static_cast<std::uint64_t>(ClusterIndex) * kClusterBytes +
                                static_cast<std::uint64_t>(BlocksRead) * kBlockSize;
    std::uint32_t got = 0;
    if (cluster >= 1 && start < End) {
        const std::uint64_t wanted = std::min<std::uint64_t>(kBlockSize, End - start);
        const auto sectors = static_cast<std::uint32_t>((wanted + kSectorSize - 1) / kSectorSize);
        const std::uint64_t offset =
            static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize +
            static_cast<std::uint64_t>(BlocksRead) * kBlockSize;
        ReadDrive(Drive, offset, Buffer, sectors * kSectorSize, got);
        DriveBytes += got;
        got = static_cast<std::uint32_t>(std::min<std::uint64_t>(got, wanted));
    }
    BytesValid = got;
    if (got == 0) {
        CarryBytes = 0;
        EOBS = true;
        return false;
    }
    BlockStart = start;
    ByteIndex = 0;
    BitsLeft = 8;
    ++BlocksRead;
    return true;
}

void CClusterReader::EndOfBlock() {
    if (BytesValid == kBlockSize) {
        if (!LoadNextBlock())
            EOBS = true;
    } else {
        EOBS = true; // a short block is the end of the data
    }
}

bool CClusterReader::Rewind() {
    if (Buffer == nullptr || ClusterList.empty()) {
        EOBS = true;
        return false;
    }
    if (Start > 0) {
        // The block that holds the start, if it is in the buffer, is not
        // read again.
        EOBS = false;
        return SeekBit(Start * 8);
    }
    // The chain's first block still in the buffer is not read again.
    if (ClusterIndex == 0 && BlocksRead == 1 && BytesValid > 0) {
        ByteIndex = 0;
        BitsLeft = 8;
        EOBS = false;
        return true;
    }
    ClusterIndex = 0;
    BlocksRead = 0;
    ByteIndex = 0;
    BitsLeft = 8;
    if (!ReadBlock(false)) {
        EOBS = true;
        return false;
    }
    EOBS = false;
    return true;
}

std::uint64_t CClusterReader::GetBitPos() const {
    const std::int64_t byte =
        std::int64_t{ClusterIndex} * static_cast<std::int64_t>(kClusterBytes) +
        std::int64_t{BlocksRead - 1} * kBlockSize + ByteIndex;
    return static_cast<std::uint64_t>(byte * 8 + (8 - BitsLeft));
}

bool CClusterReader::SeekBit(std::uint64_t pos) {
    // At the end of the data the reader stays there; only before an end that
    // was set may it go back.
    if (EOBS && (End == kNoEnd || pos / 8 >= End))
        return false;
    const std::uint64_t clusterIndex = pos / kClusterBits;
    if (ClusterList.empty() || clusterIndex >= ClusterList.size()) {
        EOBS = true;
        return false;
    }
    const std::uint64_t inCluster = pos - clusterIndex * kClusterBits;
    const std::uint64_t block = inCluster / kBlockBits;
    const std::uint64_t inBlock = inCluster - block * kBlockBits;

    // A step back into the carried tail of the block before is free too.
    const std::uint64_t byte = pos / 8;
    if (CarryBytes > 0 && byte < BlockStart && byte >= BlockStart - CarryBytes) {
        ByteIndex = static_cast<std::int32_t>(static_cast<std::int64_t>(byte - BlockStart));
        BitsLeft = 8 - static_cast<std::int32_t>(pos % 8);
        EOBS = false;
        return true;
    }
    // Only a block other than the one in the buffer costs a drive access.
    const bool otherBlock = static_cast<std::int64_t>(block) != BlocksRead - 1 ||
                            static_cast<std::int32_t>(clusterIndex) != ClusterIndex;
    if (otherBlock) {
        // A seek on into the next block of the cluster keeps the tail of this
        // one in front, as reading on does: a packet's look at the next
        // packet and its step back cost one read.
        const bool nextBlock = !EOBS && BytesValid == kBlockSize &&
                               static_cast<std::int32_t>(clusterIndex) == ClusterIndex &&
                               static_cast<std::int64_t>(block) == BlocksRead;
        ClusterIndex = static_cast<std::int32_t>(clusterIndex);
        BlocksRead = static_cast<std::int32_t>(block);
        if (!ReadBlock(nextBlock)) {
            EOBS = true;
            return false;
        }
    }
    // A position beyond the bytes that a short last block delivered is the
    // end of the data.
    if (inBlock / 8 >= BytesValid) {
        EOBS = true;
        return false;
    }
    ByteIndex = static_cast<std::int32_t>(inBlock / 8);
    BitsLeft = 8 - static_cast<std::int32_t>(inBlock % 8);
    EOBS = false;
    return true;
}

int CClusterReader::ReadBit() {
    // Once the data has ended every bit reads as 0.
    if (EOBS)
        return 0;
    const int bit = (Buffer[ByteIndex] >> (BitsLeft - 1)) & 1;
    if (--BitsLeft == 0) {
        AdvanceByte();
        BitsLeft = 8;
    }
    return bit;
}

std::uint32_t CClusterReader::ReadBits(int n) {
    std::uint32_t result = 0;
    if (BitsLeft == 8 && n % 8 == 0) {
        // Whole bytes at a byte boundary: straight from the buffer. Stops
        // early at the end of the data, keeping the bytes taken right-aligned.
        for (int i = 0; i < n / 8 && !EOBS; ++i) {
            result = (result << 8) | Buffer[ByteIndex];
            AdvanceByte();
        }
        return result;
    }
    for (int i = 0; i < n; ++i)
        result = (result << 1) | static_cast<std::uint32_t>(ReadBit());
    return result;
}

std::uint32_t CClusterReader::PeekBits(int n) {
    const std::uint64_t pos = GetBitPos();
    const std::uint32_t value = ReadBits(n);
    SeekBit(pos);
    return value;
}

std::uint32_t CClusterReader::PeekUInt32() {
    // Four bytes that lie wholly inside the buffer, with a fifth after them,
    // are read in place: reading them and seeking back would leave the reader
    // exactly where it is and touch no other block.
    if (!EOBS && ByteIndex >= 0 && static_cast<std::uint32_t>(ByteIndex) + 4 < BytesValid) {
        const std::uint8_t* p = Buffer + ByteIndex;
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
               (std::uint32_t{p[2]} << 8) | p[3];
    }
    const std::uint64_t pos = GetBitPos();
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<std::uint32_t>(ReadByte());
    SeekBit(pos);
    return value;
}

void CClusterReader::SetEnd(std::uint64_t end) {
    End = end;
    if (Buffer == nullptr || EOBS)
        return; // a seek before the end reads its block anew
    const std::uint64_t here = GetBitPos() / 8;
    if (here >= End) {
        EOBS = true;
    } else if (End >= BlockStart) {
        BytesValid =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(BytesValid, End - BlockStart));
    } else {
        // The end lies in the tail carried before the block: the block that
        // holds the reader's byte is read again, cut at the end.
        const std::uint64_t pos = GetBitPos();
        CarryBytes = 0;
        ClusterIndex = -1; // no block is taken as the one in the buffer
        SeekBit(pos);
    }
}

bool CClusterReader::DriveOffset(std::uint64_t byte, std::uint64_t& offset,
                                 std::uint64_t& inCluster) const {
    const std::uint64_t index = byte / kClusterBytes;
    if (index >= ClusterList.size() || ClusterList[static_cast<std::size_t>(index)] < 1)
        return false;
    inCluster = byte - index * kClusterBytes;
    offset =
        static_cast<std::uint64_t>(ClusterSector(ClusterList[static_cast<std::size_t>(index)])) *
            kSectorSize +
        inCluster;
    return true;
}

std::uint32_t CClusterReader::LookAhead(std::uint64_t byte, std::uint8_t* out,
                                        std::uint32_t count) {
    std::uint32_t done = 0;
    std::vector<std::uint8_t> sectors;
    while (done < count && byte + done < End) {
        const std::uint64_t pos = byte + done;
        const std::uint64_t room = std::min<std::uint64_t>(count - done, End - pos);
        // What the buffer holds, the carried tail included, costs no read.
        if (Buffer != nullptr && BytesValid > 0 && pos + CarryBytes >= BlockStart &&
            pos < BlockStart + BytesValid) {
            const std::uint64_t n = std::min<std::uint64_t>(room, BlockStart + BytesValid - pos);
            std::memcpy(out + done, Buffer + static_cast<std::int64_t>(pos - BlockStart), n);
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        std::uint64_t offset = 0, inCluster = 0;
        if (!DriveOffset(pos, offset, inCluster))
            break;
        const std::uint64_t n = std::min<std::uint64_t>(room, kClusterBytes - inCluster);
        const std::uint64_t first = offset / kSectorSize * kSectorSize;
        const std::uint64_t skip = offset - first;
        sectors.resize((skip + n + kSectorSize - 1) / kSectorSize * kSectorSize);
        std::uint32_t got = 0;
        ReadDrive(Drive, first, sectors.data(), static_cast<std::uint32_t>(sectors.size()), got);
        DriveBytes += got;
        if (got <= skip)
            break;
        const std::uint64_t taken = std::min<std::uint64_t>(n, got - skip);
        std::memcpy(out + done, sectors.data() + skip, taken);
        done += static_cast<std::uint32_t>(taken);
        if (taken < n)
            break; // the end of the data
    }
    return done;
}

std::uint32_t CClusterReader::ReadableBytes(std::uint64_t byte, std::uint32_t count) const {
    std::uint32_t done = 0;
    while (done < count) {
        std::uint64_t offset = 0, inCluster = 0;
        if (!DriveOffset(byte + done, offset, inCluster))
            break;
        const std::uint64_t n = std::min<std::uint64_t>(count - done, kClusterBytes - inCluster);
        if (Drive.Unreadable().UnreadableUpTo(offset) > offset)
            break;
        const std::uint64_t next = Drive.Unreadable().NextUnreadable(offset);
        if (next < offset + n)
            return done + static_cast<std::uint32_t>(next - offset);
        done += static_cast<std::uint32_t>(n);
    }
    return done;
}
