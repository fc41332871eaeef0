// Test support: the recorder-style PES fixtures in tests/fixtures.
//
// Each fixture is a run of PES packets as the recorder keeps one elementary stream of a
// recording (video_e0: MPEG-2 video, audio_c0: MPEG-1 Layer II, audio_bd: AC-3 in private
// stream 1 without a sub-stream byte), plus a text index with one line per packet:
//   offset size payload_offset pts dts
// (see tests/fixtures/README.md). These helpers load them, change their time stamps and cut
// them up so tests can build the streams they need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifndef TARNWELL_FIXTURE_DIR
#define TARNWELL_FIXTURE_DIR "tests/fixtures"
#endif

// PTS and DTS are 33-bit counts of a 90 kHz clock and wrap at this value.
constexpr int64_t kTimestampWrap = int64_t{1} << 33;
constexpr int64_t kTimestampClock = 90000;

struct PesPacket {
    uint64_t offset;        // offset of the packet's 00 00 01 <stream id> in Fixture::bytes
    uint64_t size;          // bytes of the packet, header included
    uint64_t payloadOffset; // offset of the first payload byte in Fixture::bytes
    int64_t pts;            // 33-bit PTS, or -1 when the packet has none
    int64_t dts;            // 33-bit DTS, or -1 when the packet has none
};

struct Fixture {
    std::vector<uint8_t> bytes;     // the packets, one after the other
    std::vector<PesPacket> packets; // in file order, covering all of bytes
    int streamId;                   // stream id of the packets (0xE0, 0xC0 or 0xBD)
};

// Full path of a file in the fixture directory; an absolute path stays as it is.
std::string FixturePath(const std::string& fileName);

// Loads NAME.pes and NAME.idx from the fixture directory (e.g. "video_e0"), or from where an
// absolute NAME says. Throws
// std::runtime_error when a file is missing or the index does not match the packets.
Fixture LoadFixture(const std::string& name);

// Adds offset (which may be negative) modulo 2^33 to every PTS and DTS, both in the index and in
// the 5-byte time stamp fields of the packet headers (prefix bits and marker bits are kept).
void ShiftTimestamps(Fixture& f, int64_t offset);

// Shifts the time stamps so that the PTS of packet `packet` becomes `pts` (modulo 2^33). Handy to
// make the PTS wrap past 2^33 at a chosen point: SetPtsAt(f, n, kTimestampWrap - 1800) puts the
// wrap a few frames after packet n.
void SetPtsAt(Fixture& f, size_t packet, int64_t pts);

// Decodes / encodes a 5-byte PES time stamp field. WritePesTimestamp keeps the 4 prefix bits of
// p[0] and sets all three marker bits.
int64_t ReadPesTimestamp(const uint8_t* p);
void WritePesTimestamp(uint8_t* p, int64_t timestamp);

// (a - b) in 90 kHz ticks, taking a wrap of the 33-bit counter into account: the result lies in
// [-2^32, 2^32).
int64_t TimestampDifference(int64_t a, int64_t b);

// The concatenated payload bytes of packets [first, last).
std::vector<uint8_t> Payloads(const Fixture& f, size_t first, size_t last);
// The payload of one packet.
std::vector<uint8_t> Payload(const Fixture& f, size_t packet);
// All payloads: the elementary stream.
std::vector<uint8_t> ElementaryStream(const Fixture& f);

// The raw bytes (headers included) of packets [first, last).
std::vector<uint8_t> PacketBytes(const Fixture& f, size_t first, size_t last);

// A fixture of packets [first, last) of f, with offsets counted from the start of the slice.
Fixture SliceFixture(const Fixture& f, size_t first, size_t last);

// Index of the first packet whose payload holds a sequence header start code (00 00 01 B3), or
// f.packets.size() when there is none. With byteOffset, also its offset in f.bytes. A start code
// split over two packets counts for the packet holding its first byte.
size_t FindFirstSequenceHeader(const Fixture& f, uint64_t* byteOffset = nullptr);

// Indexes of all packets whose payload holds a sequence header: in the video fixture, every GOP
// begins with one in the packet of its I picture.
std::vector<size_t> SequenceHeaderPackets(const Fixture& f);

// The video elementary stream from the sequence header in packet `packet` to the end of the
// fixture, with a sequence end code (00 00 01 B7) appended when appendEndCode is set. This is
// what an extraction starting at that GOP should give.
std::vector<uint8_t> VideoFromSequenceHeader(const Fixture& f, size_t packet, bool appendEndCode);

// Picture coding type ('I', 'P' or 'B') of the first picture header in the payload of a video
// packet, or 0 when it has none.
char PictureType(const Fixture& f, size_t packet);
// Temporal reference of that picture, or -1.
int TemporalReference(const Fixture& f, size_t packet);

// bytes with each run of 32 KiB of zeros or more cut to its last two bytes,
// as a rescue leaves out the zeros that a recording went on across.
std::vector<uint8_t> ZeroRunsLeftOut(const std::vector<uint8_t>& bytes);
