// Elementary stream extraction: the CPVRFile operations that identify a
// chain's stream, find its first time stamp and copy it between two time
// stamps are declared with CPVRFile in drive/drive.h; this header gives the
// numbers they share.
#pragma once

#include "platform/format.h"

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
// - no packet of the stream within the look ahead ends the recording; bytes
//   that could not be read end nothing;
// - past a packet that no packet follows at once, the next packet found goes
//   on only if its time stamp follows; otherwise the recording has ended;
// - zeros are no end by themselves, as a copy that filled what it could not
//   read with zeros, damage and zero stuffing all leave them inside a
//   recording: what follows them decides as above, in the same cluster or in
//   the chain's next one. Zeros to the end of the chain end the recording.
//   Past a long run of zeros the data is probed a few sectors every block, so
//   that the zeros that fill the rest of a fresh disk's cluster cost little;
// - a time stamp that jumps in a packet that follows the one before at once
//   is a clock jump inside the recording, unless the recording has lasted as
//   long as its other chain (read first) or, without that, its header says:
//   then an older recording's data has begun.
// Each verdict that ends the recording, follows a jump or goes on across
// zeros is logged.
class CRecordingEnd {
  public:
    enum class Verdict { GoOn, Jump, End };
    // Zeros as many as this in the copied data are looked past.
    static constexpr std::uint32_t kZeroRunBytes = 32768;
    // How far past a packet that no packet follows the data is looked at:
    // room for the longest PES packet and a run of zeros.
    static constexpr std::uint32_t kLookAheadBytes = 131072;
    // Past a run of zeros longer than the look ahead, a probe of one sector
    // every few seconds of the stream (at the rate seen, from a sixteenth of
    // a block to a block), up to the chain's end: the rest of a recording
    // after the zeros is found unless it lasts less than that.
    static constexpr std::uint32_t kProbeBytes = kSectorSize;
    static constexpr std::int64_t kProbeSeconds = 4;
    // The most bytes one look past a run of zeros reads.
    static constexpr std::uint64_t kProbeLimitBytes = 8u << 20;

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
    // The copied data ends in a run of count zeros from chain byte pos on
    // (read from the disk, or in place of sectors that could not be read):
    // what follows the zeros on the reader's chain decides.
    Verdict Zeros(CClusterReader& reader, std::uint64_t pos, std::uint64_t count, int streamId);

    // Break on the reader's chain: looks past the packet that ends at chain
    // byte `end` (past zeros as far as they go) and, when the recording ends
    // there, sets the reader's end.
    bool EndsAt(CClusterReader& reader, std::uint64_t end, int streamId);

    // Where the video of a recording's last packet ends in payload[0, count),
    // when an older recording's data follows it up to that recording's next
    // packet: at the first slice that does not go on from the slices before
    // it in its picture. Of the older data, only what comes before its first
    // start code cannot be told from the recording's.
    static std::size_t VideoTailEnd(const std::uint8_t* payload, std::size_t count);

    // Whether the last look past zeros began at chain byte pos, and the
    // recording went on across them.
    bool WentOnAcrossZerosAt(std::uint64_t pos) const { return ZerosGoneOnFrom == pos; }

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
    // The data past the recording's bytes up to chain byte `from` resumes at
    // chain byte `resumes`; bytes[0, count) lie from chain byte `at` on, the
    // first `readable` of them read.
    Verdict Resumes(std::uint64_t from, std::uint64_t resumes, std::uint64_t at,
                    const std::uint8_t* bytes, std::uint32_t count, std::uint32_t readable,
                    int streamId);
    // Where the first byte read from the disk that is not zero lies past a
    // run of zeros that goes on to chain byte zerosTo at least (zeros and
    // unreadable sectors passed over), or ~0 when none does up to the chain's
    // end or the probe limit.
    std::uint64_t DataFrom(CClusterReader& reader, std::uint64_t zerosTo);
    // Reads for the look past zeros, counted against the probe limit.
    std::uint32_t Look(CClusterReader& reader, std::uint64_t at, std::uint8_t* out,
                       std::uint32_t count, std::uint32_t& readable);
    // How far apart the probes past a run of zeros are: a power of two that
    // divides a block, and so a cluster.
    std::uint64_t ProbeStep() const;

    std::int64_t Length;
    bool Started = false, HasEnded = false;
    bool Broken = false; // a break was passed since the last packet
    std::uint64_t FirstPos = 0, LastPos = 0, EndPos = 0;
    std::int64_t LastStamp = 0, Lasted = 0;
    std::uint64_t Probed = 0; // bytes read by the look past the zeros
    std::uint64_t ZerosGoneOnFrom = ~std::uint64_t{0};
    std::vector<Jump> Jumps;
    const CRecordingEnd* Other = nullptr;
};
