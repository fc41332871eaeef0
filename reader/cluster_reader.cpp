// A recording's cluster chain read block by block as one stream.
#include "drive/drive.h"
#include "platform/runlog.h"
#include "reader/reader.h"

#include <cstring>
#include <utility>

CClusterReader::CClusterReader(std::string driveName, std::int32_t firstCluster) {
    // A drive that cannot be opened leaves a reader without list and buffer
    // that is at its end from the start.
    if (!OpenDrive(std::move(driveName), Drive)) {
        EOBS = true;
        return;
    }
    if (g_ClusterTable != nullptr)
        g_ClusterTable->BuildChain(firstCluster, ClusterList);
    Storage = static_cast<std::uint8_t*>(::operator new[](kCarryBytes + kBlockSize, kIoAlignment));
    Buffer = Storage + kCarryBytes;
    BytesValid = 0;
    Rewind();
}

CClusterReader::~CClusterReader() {
    PlatClose(Drive);
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
    // Cluster numbers below 1 name no place on the disk: the data ends there.
    // Sectors that cannot be read arrive as zeros, so only the end of the data
    // ends the stream.
    const std::int64_t cluster =
        ClusterList.empty() ? 0 : ClusterList[static_cast<std::size_t>(ClusterIndex)];
    std::uint32_t got = 0;
    if (cluster >= 1) {
        const std::uint64_t offset =
            static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize +
            static_cast<std::uint64_t>(BlocksRead) * kBlockSize;
        ReadDrive(Drive, offset, Buffer, kBlockSize, got);
    }
    BytesValid = got;
    if (got == 0) {
        CarryBytes = 0;
        EOBS = true;
        return false;
    }
    BlockStart = static_cast<std::uint64_t>(ClusterIndex) * kClusterBytes +
                 static_cast<std::uint64_t>(BlocksRead) * kBlockSize;
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
    if (EOBS)
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
        return true;
    }
    // Only a block other than the one in the buffer costs a drive access.
    const bool otherBlock = static_cast<std::int64_t>(block) != BlocksRead - 1 ||
                            static_cast<std::int32_t>(clusterIndex) != ClusterIndex;
    if (otherBlock) {
        ClusterIndex = static_cast<std::int32_t>(clusterIndex);
        BlocksRead = static_cast<std::int32_t>(block);
        if (!ReadBlock(false)) {
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
