// Reading a recording's cluster chain as one continuous stream of bits and
// bytes, and finding MPEG start codes and PES headers in it. This header is
// what the other subsystems may use of the reader.
#pragma once

#include "platform/format.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CDriveSession;

// One cluster chain of the recorder disk read as a stream, most significant
// bit first. Positions are 64-bit bit counts from the first byte of the
// chain's first cluster. EOBS (end of bitstream) is set at the end of the data,
// and only Rewind clears it. Sectors that cannot be read arrive as zeros in
// their place (see ReadDrive), so a bad sector does not end the stream.
class CClusterReader {
  public:
    // The chain from firstCluster as the drive's cluster table gives it.
    CClusterReader(CDriveSession& drive, std::int32_t firstCluster);
    // A chain given as its clusters in order, as a survey of the disk found
    // it; the list goes to the log as the cluster table's chains do.
    CClusterReader(CDriveSession& drive, std::vector<std::int32_t> clusters);
    ~CClusterReader();
    CClusterReader(const CClusterReader&) = delete;
    CClusterReader& operator=(const CClusterReader&) = delete;

    // Back to the start of the data: the chain's first byte, or the start set.
    bool Rewind();
    // Where the data starts for Rewind from now on: at chain byte `start`,
    // when what lies before it was searched already and holds nothing a
    // search or a ripper would take, so that it is not read again.
    void SetStart(std::uint64_t start) { Start = start; }
    bool IsEOBS() const { return EOBS; }
    bool IsByteAligned() const { return BitsLeft == 8; }
    std::uint64_t GetBitPos() const;
    bool SeekBit(std::uint64_t pos);

    int ReadBit();
    std::uint32_t ReadBits(int n);
    std::uint32_t PeekBits(int n);
    std::uint32_t PeekUInt32();

    // The byte operations take the current byte whole; callers use them at
    // byte-aligned positions only.
    int ReadByte() {
        if (EOBS)
            return 0;
        const int value = Buffer[ByteIndex];
        AdvanceByte();
        return value;
    }
    void SkipByte() {
        if (!EOBS)
            AdvanceByte();
    }
    void SkipBytes(std::uint32_t n) {
        while (n-- > 0 && !EOBS)
            AdvanceByte();
    }

    // Loads the block after the one in the buffer, crossing to the next
    // cluster when needed.
    bool LoadNextBlock();

    // The bytes from the current one to the end of the buffered block, for
    // scans and copies in bulk at byte-aligned positions; none at the end of
    // the data. SkipBuffered(n), for 1 <= n <= that count, is n SkipByte().
    const std::uint8_t* BufferedBytes(std::uint32_t& count) const {
        count = EOBS ? 0 : static_cast<std::uint32_t>(std::int64_t{BytesValid} - ByteIndex);
        return Buffer + ByteIndex;
    }
    void SkipBuffered(std::uint32_t n) {
        ByteIndex += static_cast<std::int32_t>(n);
        if (static_cast<std::uint32_t>(ByteIndex) == BytesValid)
            EndOfBlock();
    }

    // The chain's cluster numbers, as built at construction.
    const std::vector<std::int32_t>& Clusters() const { return ClusterList; }

    // Ends the data at chain byte `end`, where a recording was found to end:
    // from there on the reader is at its end, as at the end of the chain, and
    // reads no block that lies wholly beyond it. A seek to a position before
    // the end is allowed again after the end was met.
    void SetEnd(std::uint64_t end);
    // The count chain bytes from chain byte `byte` on, copied into out from the
    // buffer or read from the drive, without moving the reader: fewer at the
    // end of the data. For a look past the bytes the reader has reached.
    std::uint32_t LookAhead(std::uint64_t byte, std::uint8_t* out, std::uint32_t count);
    // Of the count chain bytes from `byte` on, read already, how many come
    // before the first one that could not be read.
    std::uint32_t ReadableBytes(std::uint64_t byte, std::uint32_t count) const;
    // Bytes read from the drive by this reader so far.
    std::uint64_t BytesRead() const { return DriveBytes; }
    // The drive the chain is read from.
    CDriveSession& Session() const { return Drive; }

  private:
    // Moves past the current byte. Consuming the last valid byte of a full
    // block loads the next one at once, so that the reader never rests at the
    // end of a block; after a short block the data has ended. (ByteIndex is
    // negative inside the carried tail and counts up into the block.)
    void AdvanceByte() {
        if (++ByteIndex == static_cast<std::int32_t>(BytesValid))
            EndOfBlock();
    }
    void Allocate();
    void EndOfBlock();
    bool ReadBlock(bool carryTail);
    // Where chain byte `byte` lies on the drive; false beyond the chain.
    bool DriveOffset(std::uint64_t byte, std::uint64_t& offset, std::uint64_t& inCluster) const;
    static constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};

    // The tail of the block before, kept in front of the buffer when the
    // blocks were read one after the other within a cluster: the scanners'
    // short steps back over a block boundary then cost no read. (Across a
    // cluster boundary the block is read again, as the crossing is logged.)
    static constexpr std::uint32_t kCarryBytes = kBlockSize < 65536 ? kBlockSize : 65536;

    CDriveSession& Drive;
    std::uint8_t* Storage = nullptr; // the carried tail, then the block
    std::uint8_t* Buffer = nullptr;
    std::uint64_t BlockStart = 0; // chain byte of Buffer[0]
    std::uint32_t CarryBytes = 0; // valid bytes before Buffer[0]
    std::int32_t ByteIndex = 0;
    std::int32_t BitsLeft = 0;
    std::uint32_t BytesValid = 0;
    std::int32_t ClusterIndex = 0;
    std::int32_t BlocksRead = 0;
    bool EOBS = false;
    std::vector<std::int32_t> ClusterList;
    std::uint64_t End = kNoEnd; // chain byte where the data was found to end
    std::uint64_t Start = 0;    // chain byte where Rewind goes
    std::uint64_t DriveBytes = 0;
};

// 0 (nothing to rip), 1 private stream 1, 2 private stream 2, 3 MPEG audio,
// 4 MPEG video.
int StreamClass(int streamId);

// Where the first start-code prefix 00 00 01 lying wholly within bytes[0,
// count) begins, or count when none does: the index a byte-by-byte search
// gives, found many bytes a step (see start_code.cpp).
std::size_t FindStartCodePrefix(const std::uint8_t* bytes, std::size_t count);

// The same for the whole start code 00 00 01 id.
std::size_t FindStartCode(const std::uint8_t* bytes, std::size_t count, std::uint8_t id);

// A PES header read from bytes in memory, for looks at the disk that do not
// go through a reader.
struct PesBytes {
    int streamId = 0;
    std::uint32_t packetLength = 0; // PES_packet_length; 0: the packet runs on (video)
    std::uint32_t headerBytes = 0;  // the whole header: 9 + PES_header_data_length
    std::int64_t pts = -1, dts = -1;
    // The decode time stamp: the DTS, or the PTS where there is none.
    std::int64_t Stamp() const { return dts >= 0 ? dts : pts; }
};

// Whether bytes[0, count) begin with an MPEG-2 PES header that carries a PTS
// (and the DTS when it has one, with their prefixes and marker bits right);
// the header is then in pes.
bool ReadPesBytes(const std::uint8_t* bytes, std::size_t count, PesBytes& pes);

// Moves the reader onto the next start-code prefix 00 00 01 (the rest of a
// partly read byte is dropped first). False when the data ends before one.
bool SeekNextStartCode(CClusterReader& reader);

// The same, but the prefix must lie within maxBytes bytes from the (aligned)
// start; on failure the reader stands maxBytes + 1 bytes further on.
bool SeekNextStartCodeWithin(CClusterReader& reader, std::int32_t maxBytes);

// Whether a PES packet of streamId with a valid header carrying a PTS starts
// at the reader (for video: one whose data begins with a sequence header or a
// picture). On true the reader stands after the header (video: on that start
// code).
bool IsPESPacketAt(CClusterReader& reader, int streamId);

// One MPEG-2 PES packet header, parsed at the reader's position on
// construction. It is valid only when it carries a PTS; a rejected header puts
// the reader back where the parse began. After a valid video header the reader
// stands on the next start code.
class CPESHeader {
  public:
    CPESHeader(CClusterReader& reader, int expectedStreamId);

    bool IsValid() const { return Valid; }
    std::uint64_t GetPTS() const { return Valid ? PTS : ~std::uint64_t{0}; }
    std::uint64_t GetDTS() const { return DTS; }
    bool HasDTS() const { return Valid && PTSDTSFlags == 3; }
    int GetStreamId() const { return StreamId; }
    int GetPacketLength() const { return PacketLength; }
    int GetHeaderDataLength() const { return HeaderDataLength; }

  private:
    bool Parse();
    bool ParseClock(std::uint32_t parts[3]);
    bool ParseTimeStamp(std::uint32_t prefix, std::uint64_t& value, std::uint32_t parts[3]);
    bool ParseOptionalFields();
    bool ParseExtension();
    bool ParsePackHeader();
    std::uint32_t Bits(int n);
    bool Marker() { return Bits(1) == 1; }
    void SkipBytes(int n);

    // The most bytes a parse reads: the fixed part (9), PTS and DTS (10),
    // ESCR (6), ES rate (3), trick mode, copy info (1 each), CRC (2), the
    // extension's flags (1), private data (16), a pack header with its length
    // byte and the most stuffing (1 + 14 + 7), sequence counter and P-STD
    // buffer (2 each), and the longest second extension (1 + 127).
    static constexpr std::uint32_t kLongestHeaderBytes = 203;

    CClusterReader& Reader;
    int ExpectedStreamId;
    const std::uint8_t* Bytes = nullptr; // the buffered header while parsed from there
    std::uint32_t BitAt = 0;             // bits of it parsed
    bool Valid = false;
    bool Truncated = false; // a field was read beyond the end of the data
    std::uint64_t PTS = 0;
    std::uint64_t DTS = 0;
    std::uint32_t SCR[3] = {};
    int PackStuffingLength = 0;
    int StreamId = 0;
    int PacketLength = 0;
    int PTSDTSFlags = 0;
    int ESCRFlag = 0;
    int ESRateFlag = 0;
    int DSMTrickModeFlag = 0;
    int AdditionalCopyInfoFlag = 0;
    int PESCRCFlag = 0;
    int PESExtensionFlag = 0;
    int HeaderDataLength = 0;
    int PESPrivateDataFlag = 0;
    int PackHeaderFieldFlag = 0;
    int SequenceCounterFlag = 0;
    int PSTDBufferFlag = 0;
    int PESExtensionFlag2 = 0;
    int PackFieldLength = 0;
    int ExtensionFieldLength = 0;
    std::uint32_t PTSParts[3] = {};
    std::uint32_t DTSParts[3] = {};
};
