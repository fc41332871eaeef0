// Elementary stream extraction: the CPVRFile operations that identify a
// chain's stream, find its first time stamp and copy it between two time
// stamps are declared with CPVRFile in drive/drive.h; this header gives the
// numbers they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Limits of the start-code searches, in bytes: one cluster when a chain's
// stream id is sought, 10 MiB when an audio ripper looks for its first packet.
constexpr std::int32_t kStreamIdSearchBytes = 0x6400000;
constexpr std::int32_t kAudioResyncBytes = 0xA00000;

// One audio frame as its header describes it: how many bytes it takes and
// how long it plays.
struct AudioFrameInfo {
    std::uint32_t bytes = 0;      // the whole frame, header included
    std::uint32_t samples = 0;    // per channel
    std::uint32_t sampleRate = 0; // in Hz
};

// The MPEG audio frame (Layer I, II or III; MPEG-1, MPEG-2 or 2.5) whose
// header begins at p; false when the bytes are no header with a bit rate,
// a sampling frequency and a layer that give the frame a length.
bool ParseMpegAudioHeader(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame);
// The AC-3 frame whose sync frame begins at p; false when the bytes are no
// AC-3 sync frame header.
bool ParseAC3Header(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame);

// A stream's frame format: its header parser, and how many bytes of a header
// it needs to tell a frame.
struct AudioFormat {
    bool (*parse)(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame);
    std::size_t headerBytes;
};
extern const AudioFormat kMpegAudioFormat;
extern const AudioFormat kAC3Format;

// An audio PTS that falls back by more than two seconds has wrapped.
constexpr std::uint64_t kAudioWrapTicks = 180000;
// A video PTS that falls back by more than one second has wrapped.
constexpr std::int64_t kVideoWrapTicks = 90000;

class CClusterReader;

// Where a recording's data ends in its chain, told from the data itself. The
// recorder keeps no end: after a recording's last packet its last cluster
// holds whatever was there before, zeros or an older recording's data, which
// mostly begins in the middle of one of its packets. A broadcast's clock may
// also jump inside a recording, when a station's encoder restarts or a
// programme is spliced in. The rule is told what a ripper meets in the chain,
// packet by packet, and says whether the recording goes on:
// - a packet whose time stamp follows the one before, within what the bytes
//   between them can hold, goes on;
// - zeros where the next packet should begin, or no packet of the stream
//   within the look ahead, end the recording; bytes that could not be read
//   end nothing;
// - past a packet that no packet follows at once, the next packet found goes
//   on only if its time stamp follows; otherwise the recording has ended;
// - a time stamp that jumps in a packet that follows the one before at once
//   is a clock jump inside the recording, unless the recording has lasted as
//   long as its other chain (read first) or, without that, its header says:
//   then an older recording's data has begun.
// Each verdict that ends the recording or follows a jump is logged.
class CRecordingEnd {
  public:
    enum class Verdict { GoOn, Jump, End };
    // Zeros as many as this where the data should go on end the recording.
    static constexpr std::uint32_t kZeroRunBytes = 32768;
    // How far past a packet that no packet follows the data is looked at:
    // room for the longest PES packet and a run of zeros.
    static constexpr std::uint32_t kLookAheadBytes = 131072;

    // lengthTicks: the recording's length as its header gives it (0: none).
    explicit CRecordingEnd(std::int64_t lengthTicks = 0) : Length(lengthTicks) {}

    // The recording's other chain, read first: how long it lasted and where
    // its clock jumped tell this chain's clock jumps from its end.
    void FollowOther(const CRecordingEnd& other);

    // A packet whose payload begins at chain byte pos, with its decode time
    // stamp (33 bits; a wrap of the counter goes on).
    Verdict Packet(std::uint64_t pos, std::int64_t stamp);
    // Past the packet before, no packet of the stream begins at chain byte
    // pos: bytes[0, count) are what the chain holds from there (fewer than
    // the look ahead at the end of the data), the first `readable` of them
    // read from the disk (the rest follow a sector that could not be read).
    Verdict Break(std::uint64_t pos, const std::uint8_t* bytes, std::uint32_t count,
                  std::uint32_t readable, int streamId);
    // The copied data ends in count zero bytes from chain byte pos on, all of
    // them read from the disk.
    Verdict Zeros(std::uint64_t pos, std::uint64_t count);

    // Break on the reader's chain: looks past the packet that ends at chain
    // byte `end` and, when the recording ends there, sets the reader's end.
    bool EndsAt(CClusterReader& reader, std::uint64_t end, int streamId);

    // Where the video of a recording's last packet ends in payload[0, count),
    // when an older recording's data follows it up to that recording's next
    // packet: at the first slice that does not go on from the slices before
    // it in its picture. Of the older data, only what comes before its first
    // start code cannot be told from the recording's.
    static std::size_t VideoTailEnd(const std::uint8_t* payload, std::size_t count);

    // How long the recording has lasted so far, its clock jumps left out.
    std::int64_t Elapsed() const { return Lasted; }
    bool Ended() const { return HasEnded; }

  private:
    struct Jump {
        std::int64_t at, by; // when in the recording, and how far
    };
    bool GoesOn(std::int64_t step, std::uint64_t bytes) const;
    bool JumpsInside(std::int64_t step) const;
    Verdict Ends(std::uint64_t pos, const char* why);
    void Take(std::uint64_t pos, std::int64_t stamp, std::int64_t step);

    std::int64_t Length;
    bool Started = false, HasEnded = false;
    bool Broken = false; // a break was passed since the last packet
    std::uint64_t FirstPos = 0, LastPos = 0, EndPos = 0;
    std::int64_t LastStamp = 0, Lasted = 0;
    std::vector<Jump> Jumps;
    const CRecordingEnd* Other = nullptr;
};
