// The parts of the rescue job (rip/rescue_job.cpp), for the files of rip/
// only: the time line of a chain, the audio read back from its file, and
// where a chain's bytes lie on the drive. Other folders use rip/rip.h.
#pragma once

#include "drive/drive.h"
#include "extract/extract.h"
#include "output/output.h"
#include "platform/format.h"
#include "platform/platform.h"
#include "psmux/psmux.h"
#include "reader/reader.h"
#include "rip/rip.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// When in the recording each stretch of a chain plays: a time stamp every
// half a second of it, with the chain byte of its packet, so that a drive
// byte can be told its time within a second (rip/time_line.cpp).
class CTimeLine {
  public:
    void Add(std::uint64_t chainByte, std::int64_t stamp);
    // The stamp of the last sample at or before chainByte (the first one's
    // before it), or -1 when there is none.
    std::int64_t At(std::uint64_t chainByte) const;

    // The first sample's stamp (0 when there is none).
    std::int64_t First() const { return Samples.empty() ? 0 : Samples.front().stamp; }

  private:
    struct Sample {
        std::uint64_t chainByte;
        std::int64_t stamp;
    };
    std::vector<Sample> Samples; // in the order of the chain
};

// The audio of the recording, read back from its file frame by frame. Each
// frame's PTS is the first one's plus the frames before it
// (rip/audio_feeder.cpp).
class CAudioFeeder {
  public:
    CAudioFeeder(const std::string& name, const AudioFormat& format);
    ~CAudioFeeder();
    CAudioFeeder(const CAudioFeeder&) = delete;
    CAudioFeeder& operator=(const CAudioFeeder&) = delete;

    // The bit rate the first frame gives (0: none).
    std::uint32_t BitRate() const;

    // Gives the writer the frames that begin before `until`, with their
    // PTS from `first` on; the stream ends with the data.
    void FeedUntil(CProgramStreamWriter& writer, std::int64_t first, std::int64_t until);
    std::int64_t LastPts() const { return Last; }

  private:
    void Refill();

    const AudioFormat& Format;
    FileHandle Handle = kInvalidHandle;
    std::vector<std::uint8_t> Buffer;
    std::size_t Pos = 0, End = 0;
    std::uint64_t Offset = 0, NextFrame = 0; // in the stream
    std::int64_t Before = 0, Since = 0;      // ticks before the last rate change, samples since
    std::uint32_t Rate = 0;
    std::int64_t Last = -1;
    bool Ended = false;
};

// A run of zeros left out of the video: where it begins in the chain, and
// its bytes.
struct LeftOutRun {
    std::uint64_t chainByte, bytes;
};

// Where the chains' bytes lie on the drive (rip/chain_drive.cpp).

// Where chain byte `byte` of the reader's chain lies on the drive (~0 beyond
// the chain).
std::uint64_t DriveByte(const CClusterReader& reader, std::uint64_t byte);
// The drive ranges of chain bytes [from, to), a cluster each at most.
std::vector<std::pair<std::uint64_t, std::uint64_t>>
DriveRanges(const CClusterReader& reader, std::uint64_t from, std::uint64_t to);

// Each chain's stream from where its first packet was looked for to where
// the reader stopped: the recording's end, or the chain's.
void DescribeSources(RescueResult& result, const CClusterReader& video, std::uint64_t videoStart,
                     const CClusterReader& audio, std::uint64_t audioStart);

// One chain's reader, where its stream was looked for from, and its time line.
struct ChainRead {
    const CClusterReader& reader;
    std::uint64_t start;
    const CTimeLine& line;
};
// The unreadable bytes that lay in the recording's chains, and the runs of
// zeros left out of its video, with their times in the file (from the
// video's first time stamp on); logged, one line each.
void DescribeDamage(RescueResult& result, const ChainRead& video, const ChainRead& audio,
                    std::int64_t firstPts, const std::vector<LeftOutRun>& zeros);
