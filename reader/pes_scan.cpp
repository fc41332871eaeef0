// Start-code search and PES header parsing on a cluster chain.
#include "reader/reader.h"

#include <algorithm>

namespace {

struct StreamClassTable {
    int cls[256] = {};
    constexpr StreamClassTable() {
        cls[kPrivateStream1] = kClassPrivate1;
        cls[kPrivateStream2] = kClassPrivate2;
        for (int id = kFirstAudioStream; id <= kLastAudioStream; ++id)
            cls[id] = kClassAudio;
        for (int id = kFirstVideoStream; id <= kLastVideoStream; ++id)
            cls[id] = kClassVideo;
    }
};
constexpr StreamClassTable kStreamClasses;

// Slides the 24-bit window over the buffered bytes at once, as far as the
// window that holds 00 00 01, the end of the buffer or the budget of slides
// comes first, and tells how many bytes it slid. The same as sliding byte by
// byte: every window passed over on the way holds something else, and the
// reader consumes the same bytes.
std::uint32_t SlideToPrefix(CClusterReader& reader, std::uint32_t& window, std::uint64_t budget) {
    std::uint32_t count = 0;
    const std::uint8_t* bytes = reader.BufferedBytes(count);
    const std::uint32_t limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, budget));
    std::uint32_t slides = limit;
    // Windows that still hold bytes of the current one.
    for (std::uint32_t i = 0; i < 2 && i < limit; ++i) {
        const std::uint32_t next = ((window << (8 * (i + 1))) & 0xFFFFFF) |
                                   (i == 0 ? bytes[0] : (std::uint32_t{bytes[0]} << 8) | bytes[1]);
        if (next == kStartCodePrefix) {
            slides = i + 1;
            break;
        }
    }
    // Windows wholly inside the buffer: the first prefix of bytes[0, limit)
    // takes three slides more than its index.
    if (slides == limit) {
        const std::size_t prefix = FindStartCodePrefix(bytes, limit);
        if (prefix < limit)
            slides = static_cast<std::uint32_t>(prefix) + 3;
    }
    for (std::uint32_t i = slides > 3 ? slides - 3 : 0; i < slides; ++i)
        window = ((window & 0xFFFF) << 8) | bytes[i];
    reader.SkipBuffered(slides);
    return slides;
}

// Slides a 24-bit window over the stream until it holds 00 00 01, comparing
// at most `windows` windows (negative: no limit), and steps back onto it.
bool SeekPrefix(CClusterReader& reader, std::int64_t windows) {
    // At the end of the data ReadBit moves no further, so a reader that met
    // the end inside a byte (or never had data) is not aligned by reading.
    while (!reader.IsByteAligned() && !reader.IsEOBS())
        reader.ReadBit();
    std::uint32_t window = reader.ReadBits(24);
    for (std::int64_t compared = 0; windows < 0 || compared < windows; ++compared) {
        if (window == kStartCodePrefix)
            return reader.SeekBit(reader.GetBitPos() - 24);
        if (reader.IsEOBS())
            return false;
        // Slides on by one byte or more. After the last window of a budget of
        // maxBytes this leaves the reader maxBytes + 1 bytes after the start.
        const std::uint64_t budget =
            windows < 0 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(windows - compared);
        const std::uint32_t slides = SlideToPrefix(reader, window, budget);
        compared += slides - 1;
    }
    return false;
}

// A 5-byte time stamp field: prefix(4) TS[32..30] marker TS[29..15] marker
// TS[14..0] marker.
bool ReadStampBytes(const std::uint8_t* p, int prefix, std::int64_t& stamp) {
    if (p[0] >> 4 != prefix || (p[0] & 1) == 0 || (p[2] & 1) == 0 || (p[4] & 1) == 0)
        return false;
    stamp = (std::int64_t{p[0] >> 1 & 7} << 30) | (std::int64_t{p[1]} << 22) |
            (std::int64_t{p[2] >> 1} << 15) | (std::int64_t{p[3]} << 7) | (p[4] >> 1);
    return true;
}

} // namespace

bool ReadPesBytes(const std::uint8_t* bytes, std::size_t count, PesBytes& pes) {
    // 00 00 01 id PES_packet_length(16) '10' flags(6) PTS_DTS_flags(2) flags(6)
    // PES_header_data_length(8)
    if (count < 14 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 1 || (bytes[6] & 0xC0) != 0x80)
        return false;
    const int flags = bytes[7] >> 6;
    if (flags < 2 || bytes[8] < (flags == 3 ? 10 : 5) || (flags == 3 && count < 19))
        return false;
    PesBytes read;
    if (!ReadStampBytes(bytes + 9, flags, read.pts) ||
        (flags == 3 && !ReadStampBytes(bytes + 14, 1, read.dts)))
        return false;
    read.streamId = bytes[3];
    read.packetLength = (std::uint32_t{bytes[4]} << 8) | bytes[5];
    read.headerBytes = 9u + bytes[8];
    pes = read;
    return true;
}

int StreamClass(int streamId) {
    return kStreamClasses.cls[streamId & 0xFF];
}

bool SeekNextStartCode(CClusterReader& reader) {
    return SeekPrefix(reader, -1);
}

bool SeekNextStartCodeWithin(CClusterReader& reader, std::int32_t maxBytes) {
    const std::int64_t windows = std::int64_t{maxBytes} - 2;
    return SeekPrefix(reader, windows < 0 ? 0 : windows);
}

bool IsPESPacketAt(CClusterReader& reader, int streamId) {
    if (reader.PeekUInt32() != PesStartCode(streamId))
        return false;
    CPESHeader header(reader, streamId);
    if (!header.IsValid())
        return false;
    if (StreamClass(streamId) == kClassVideo) {
        const std::uint32_t next = reader.PeekUInt32();
        return next == kSequenceHeaderCode || next == kPictureStartCode;
    }
    return true;
}

CPESHeader::CPESHeader(CClusterReader& reader, int expectedStreamId)
    : Reader(reader), ExpectedStreamId(expectedStreamId) {
    const std::uint64_t start = Reader.GetBitPos();
    // A byte-aligned header whose longest form lies in the buffered block, with
    // a byte after it, is parsed from the buffer: the reader then passes over
    // the header's bytes at once, or stays where it is when it is rejected,
    // just as reading it bit by bit and seeking back would leave it (without
    // that byte after it, consuming the last one would load the next block).
    std::uint32_t buffered = 0;
    const std::uint8_t* bytes = Reader.BufferedBytes(buffered);
    if (Reader.IsByteAligned() && buffered > kLongestHeaderBytes) {
        Bytes = bytes;
        Valid = Parse();
        Bytes = nullptr;
        // Every field that a valid header holds fills whole bytes.
        if (Valid)
            Reader.SkipBuffered(BitAt / 8);
    } else {
        Valid = Parse() && !Truncated;
        if (!Valid)
            Reader.SeekBit(start);
    }
    if (!Valid)
        return;
    // A video packet's data is wanted from its first start code on: this
    // passes over the header's stuffing bytes and anything before that code.
    if (StreamClass(StreamId) == kClassVideo)
        SeekNextStartCode(Reader);
}

std::uint32_t CPESHeader::Bits(int n) {
    std::uint32_t value = 0;
    if (Bytes != nullptr) {
        // From the buffer, up to the rest of a byte a step.
        while (n > 0) {
            const int left = 8 - static_cast<int>(BitAt % 8);
            const int take = n < left ? n : left;
            const std::uint32_t byte = Bytes[BitAt / 8];
            value = (value << take) | ((byte >> (left - take)) & ((1u << take) - 1));
            BitAt += static_cast<std::uint32_t>(take);
            n -= take;
        }
        return value;
    }
    // Bit by bit, so that a header cut off by the end of the data is noticed
    // at the first bit that is not there.
    for (int i = 0; i < n; ++i) {
        if (Reader.IsEOBS())
            Truncated = true;
        value = (value << 1) | static_cast<std::uint32_t>(Reader.ReadBit());
    }
    return value;
}

void CPESHeader::SkipBytes(int n) {
    for (int i = 0; i < n; ++i)
        Bits(8);
}

bool CPESHeader::ParseClock(std::uint32_t parts[3]) {
    // [32..30] marker [29..15] marker [14..0] marker: the layout of every
    // 33-bit clock value in the header (PTS, DTS, ESCR, SCR)
    parts[0] = Bits(3);
    if (!Marker())
        return false;
    parts[1] = Bits(15);
    if (!Marker())
        return false;
    parts[2] = Bits(15);
    return Marker();
}

bool CPESHeader::ParseTimeStamp(std::uint32_t prefix, std::uint64_t& value,
                                std::uint32_t parts[3]) {
    // '00xx' TS[32..30] marker TS[29..15] marker TS[14..0] marker
    if (Bits(4) != prefix || !ParseClock(parts))
        return false;
    value = (std::uint64_t{parts[0]} << 30) + (std::uint64_t{parts[1]} << 15) + parts[2];
    return true;
}

bool CPESHeader::Parse() {
    // packet_start_code_prefix (24, not tested: the caller stands on one) stream_id (8)
    Bits(24);
    StreamId = static_cast<int>(Bits(8));
    if (StreamId != ExpectedStreamId)
        return false;
    // PES_packet_length (16) '10' scrambling(2) priority data_alignment copyright original
    PacketLength = static_cast<int>(Bits(16));
    if (Bits(2) != 2)
        return false;
    Bits(6);
    // PTS_DTS_flags(2) ESCR ES_rate DSM_trick_mode additional_copy_info PES_CRC PES_extension
    PTSDTSFlags = static_cast<int>(Bits(2));
    ESCRFlag = static_cast<int>(Bits(1));
    ESRateFlag = static_cast<int>(Bits(1));
    DSMTrickModeFlag = static_cast<int>(Bits(1));
    AdditionalCopyInfoFlag = static_cast<int>(Bits(1));
    PESCRCFlag = static_cast<int>(Bits(1));
    PESExtensionFlag = static_cast<int>(Bits(1));
    HeaderDataLength = static_cast<int>(Bits(8));
    PTS = 0;
    DTS = 0;
    if (PTSDTSFlags == 0 || PTSDTSFlags == 1)
        return false; // a header without a PTS is of no use
    if (PTSDTSFlags == 2 && !ParseTimeStamp(0x2, PTS, PTSParts))
        return false;
    if (PTSDTSFlags == 3 &&
        !(ParseTimeStamp(0x3, PTS, PTSParts) && ParseTimeStamp(0x1, DTS, DTSParts)))
        return false;
    return ParseOptionalFields();
}

bool CPESHeader::ParseOptionalFields() {
    if (ESCRFlag) {
        // reserved(2) ESCR[32..30] marker ESCR[29..15] marker ESCR[14..0] marker ext(9) marker
        std::uint32_t escr[3];
        Bits(2);
        if (!ParseClock(escr))
            return false;
        Bits(9);
        if (!Marker())
            return false;
    }
    if (ESRateFlag) {
        // marker ES_rate(22) marker
        if (!Marker())
            return false;
        Bits(22);
        if (!Marker())
            return false;
    }
    if (DSMTrickModeFlag)
        SkipBytes(1);
    if (AdditionalCopyInfoFlag) {
        // marker additional_copy_info(7)
        if (!Marker())
            return false;
        Bits(7);
    }
    if (PESCRCFlag)
        SkipBytes(2); // previous_PES_packet_CRC
    if (PESExtensionFlag && !ParseExtension())
        return false;
    return true;
}

bool CPESHeader::ParseExtension() {
    // private_data pack_header_field sequence_counter P-STD_buffer reserved(3) extension_flag_2
    PESPrivateDataFlag = static_cast<int>(Bits(1));
    PackHeaderFieldFlag = static_cast<int>(Bits(1));
    SequenceCounterFlag = static_cast<int>(Bits(1));
    PSTDBufferFlag = static_cast<int>(Bits(1));
    Bits(3);
    PESExtensionFlag2 = static_cast<int>(Bits(1));
    if (PESPrivateDataFlag)
        SkipBytes(16);
    if (PackHeaderFieldFlag) {
        PackFieldLength = static_cast<int>(Bits(8));
        if (!ParsePackHeader())
            return false;
    }
    if (SequenceCounterFlag) {
        // marker program_packet_sequence_counter(7) marker MPEG1_MPEG2_identifier
        // original_stuff_length(6)
        if (!Marker())
            return false;
        Bits(7);
        if (!Marker())
            return false;
        Bits(7);
    }
    if (PSTDBufferFlag) {
        // '01' P-STD_buffer_scale P-STD_buffer_size(13)
        if (Bits(2) != 1)
            return false;
        Bits(14);
    }
    if (PESExtensionFlag2) {
        // marker PES_extension_field_length(7) reserved bytes
        if (!Marker())
            return false;
        ExtensionFieldLength = static_cast<int>(Bits(7));
        SkipBytes(ExtensionFieldLength);
    }
    return true;
}

bool CPESHeader::ParsePackHeader() {
    // pack_start_code(32) '01' SCR[32..30] marker SCR[29..15] marker SCR[14..0] marker
    // SCR_ext(9) marker program_mux_rate(22) marker marker reserved(5) stuffing_length(3)
    if (Bits(32) != kPackStartCode || Bits(2) != 1)
        return false;
    if (!ParseClock(SCR))
        return false;
    Bits(9);
    if (!Marker())
        return false;
    Bits(22);
    if (!Marker() || !Marker())
        return false;
    Bits(5);
    PackStuffingLength = static_cast<int>(Bits(3));
    for (int i = 0; i < PackStuffingLength; ++i) {
        if (Bits(8) != 0xFF)
            return false;
    }
    return true;
}
