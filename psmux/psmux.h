// Writing an MPEG-2 program stream (ISO/IEC 13818-1) as a DVD holds one:
// packs of 2048 bytes, a system header in the first, MPEG video as stream
// 0xE0, MPEG audio as stream 0xC0, AC-3 in private stream 1 as sub-stream
// 0x80. The writer takes elementary-stream bytes and the time stamps of the
// access units that begin in them; where they came from is not its business.
// This header is what the other subsystems may use of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class COBits;

// The kinds of elementary stream a program stream of this writer carries.
enum class EsKind { Video, MpegAudio, AC3 };

// The bit rate that the MPEG video sequence header at p gives (its sequence
// extension, if it follows within the n bytes, included); 0 when p holds no
// sequence header.
std::uint32_t VideoBitRate(const std::uint8_t* p, std::size_t n);

class CProgramStreamWriter {
  public:
    static constexpr std::uint32_t kPackSize = 2048;
    // Packs from one system header to the next (1 MiB): where a file may be
    // cut into parts.
    static constexpr std::uint32_t kSystemHeaderPacks = 512;
    // P-STD buffers as a DVD player has them, in bytes.
    static constexpr std::uint32_t kVideoBufferBytes = 230 * 1024;
    static constexpr std::uint32_t kAudioBufferBytes = 4 * 1024;
    // The first data is due this long after the first pack (90 kHz).
    static constexpr std::int64_t kPreload = 45000;
    // A pack goes out at most this long before its data is decoded (90 kHz).
    static constexpr std::int64_t kMaxDelay = 63000;

    enum Stream { kVideo = 0, kAudio = 1 };

    // A program of one video stream and one audio stream of the given kind
    // and bit rate (bit/s; 0 when not known). The video's bit rate comes from
    // the sequence header that begins it.
    CProgramStreamWriter(COBits& out, EsKind audio, std::uint32_t audioBitRate);
    CProgramStreamWriter(const CProgramStreamWriter&) = delete;
    CProgramStreamWriter& operator=(const CProgramStreamWriter&) = delete;

    // The access unit that begins at byte `offset` of the stream (counted
    // from the stream's first byte) has these time stamps, in 90 kHz ticks
    // from the start of the program; dts equals pts when it has no DTS of its
    // own. Offsets come in ascending order, at or after the bytes written.
    void Stamp(Stream s, std::uint64_t offset, std::int64_t pts, std::int64_t dts);
    // The next bytes of the stream. Packs are written as soon as what is
    // known of every stream decides what comes next.
    void Write(Stream s, const std::uint8_t* bytes, std::size_t count);
    // No more bytes will come for the stream.
    void End(Stream s);
    // Ends every stream and writes everything still held.
    void Finish();

    std::uint64_t Packs() const { return PacksWritten; }
    // The program's mux rate in units of 50 bytes per second (0 before the
    // first pack).
    std::uint32_t MuxRate() const { return Rate; }

  private:
    struct Unit {
        std::uint64_t start;
        std::int64_t pts, dts;
    };
    // One elementary stream: its bytes not yet packed, the access units
    // that own them, and its P-STD buffer.
    struct EsState {
        EsState(EsKind k, int stream, int sub, std::uint32_t buffer)
            : kind(k), id(stream), subId(sub), bufferBytes(buffer) {}
        EsKind kind;
        int id;    // stream id of its PES packets
        int subId; // sub-stream of private stream 1, or -1
        std::uint32_t bufferBytes;
        std::vector<std::uint8_t> data; // bytes [packed, received), in part:
        std::size_t head = 0;           // index in data of the first byte not packed
        // While Write packs the caller's bytes, those not yet packed, after
        // data's: they are packed from where they are, and only what is left
        // is copied into data.
        const std::uint8_t* ext = nullptr;
        std::size_t extLeft = 0;
        std::uint64_t packed = 0; // stream offset of that byte
        std::deque<Unit> units;   // the unit owning byte `packed` first
        std::deque<std::pair<std::int64_t, std::uint32_t>> buffered; // (dts, bytes) in the P-STD
        std::uint32_t fill = 0;
        bool ended = false;
        bool first = true; // no PES packet yet: the first carries the buffer size
        std::uint32_t bitRate = 0;

        std::size_t Available() const { return data.size() - head + extLeft; }
        // Copies up to n of the bytes not packed to `to`; how many there were.
        std::size_t Peek(std::uint8_t* to, std::size_t n) const;
        // Copies the next n bytes not packed to `to`, and passes over them.
        void Take(std::uint8_t* to, std::size_t n);
        std::int64_t HeadDts() const;
    };

    void Pump();
    int ChooseStream();
    void BumpClock();
    void RemoveDecoded();
    std::uint32_t Payload(const EsState& s, std::uint32_t room, bool& stamped) const;
    void WritePack(EsState& s);
    std::size_t PutPackHeader(std::uint8_t* p) const;
    std::size_t PutSystemHeader(std::uint8_t* p) const;
    void Deliver(EsState& s, std::uint32_t count);
    void SetRate();
    void MoveClock();
    std::int64_t Clock27() const { return Now27; }

    COBits& Out;
    EsState Es[2];
    std::uint32_t Rate = 0;     // 50 bytes/s
    std::int64_t ClockBase = 0; // 27 MHz: the SCR of the pack after the last jump
    std::uint64_t BytesSinceBase = 0;
    std::int64_t Now27 = 0; // the clock, 27 MHz
    std::uint64_t PacksWritten = 0;
};
