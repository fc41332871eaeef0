// The parts of the rescue job (rip/rescue_job.cpp), for the files of rip/
// only: the time line of a chain, the audio read back from its file, the
// video's time stamps continued across wraps and jumps, the runs of zeros
// left out of the video, the feed of the program-stream writer, and where a
// chain's bytes lie on the drive. Other folders use rip/rip.h.
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

// Video held back at most: while no picture has told its time stamps yet,
// and of the packet being copied.
constexpr std::uint64_t kUnstampedVideoLimit = 4 << 20;

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

// The video's time stamps onto one time line, continued without a jump
// where the ripper took them as wrapped or jumped back, and where the
// recording's clock jumped ahead (rip/stamp_continuer.cpp).
class CStampContinuer {
  public:
    struct Stamps {
        std::int64_t pts, dts;
    };
    // The packet whose payload begins at chain byte chainByte has these time
    // stamps: they on the time line. first: the first packet, which the line
    // begins with; jumpedBack: the ripper took its PTS as a wrap or a jump
    // back; clockJumped: the recording's clock jumped ahead before it.
    Stamps Continue(std::uint64_t chainByte, std::int64_t pts, std::int64_t dts, bool first,
                    bool jumpedBack, bool clockJumped);

    // The time line on its own clock, continued across wraps and jumps, and
    // where it begins.
    const CTimeLine& TimeLine() const { return Line; }

  private:
    std::int64_t Shift = 0;
    std::int64_t LastPts = 0, LastDts = 0, Step = kPtsPerSecond / 25;
    CTimeLine Line;
};

// A run of zeros left out of the video: where it begins in the chain, and
// its bytes.
struct LeftOutRun {
    std::uint64_t chainByte, bytes;
};

// The runs of zeros in the video that the recording went on across: found
// as the video is received, and left out of the video given on, but for
// their last two bytes (rip/zero_run_editor.cpp).
class CZeroRunEditor {
  public:
    // unreadable: the drive's record, by which zeros read from the disk are
    // told from those in place of sectors that could not be read.
    explicit CZeroRunEditor(const CUnreadableSectors& unreadable) : Unreadable(unreadable) {}
    // The video received is `received` bytes long, the last `count` of them
    // these. Counts the zeros that end it, read from the disk: zeros in
    // place of sectors that could not be read are no sign of the end. Gives
    // where a run of zeros long enough to be looked at begins in the video,
    // if one now ends it, and nothing while one looked past goes on.
    std::optional<std::uint64_t> Watch(const std::uint8_t* bytes, std::size_t count,
                                       std::uint64_t received);
    // How many zeros end the video received.
    std::size_t TrailingZeroBytes() const { return TrailingZeros; }
    // The run from byte `from` of the video, chain byte `chainByte`, is
    // looked past once: what follows tells whether the recording goes on.
    void LookPast(std::uint64_t from, std::uint64_t chainByte);
    // After the last of the video, `received` bytes: a run looked past that
    // no byte came after ends with it.
    void EndRun(std::uint64_t received);

    // How many bytes at the end of the video received wait for what follows
    // them: a run of zeros, until it tells whether it is the recording's;
    // of a run looked past, two (the prefix of a start code that may follow).
    std::uint64_t WaitingBytes() const;
    // Whether a time stamp at byte `offset` of the video received waits:
    // past a run of zeros not yet ended, where it lies in the video without
    // the run is not known yet.
    bool Waits(std::uint64_t offset) const;
    // Where byte `offset` of the video received lies in the video given on.
    std::uint64_t Kept(std::uint64_t offset) const;
    // The next n bytes of the video received, to `keep` without the runs
    // left out.
    using KeepBytes = std::function<void(const std::uint8_t* bytes, std::size_t n)>;
    void Edit(const std::uint8_t* bytes, std::size_t n, const KeepBytes& keep);

    const std::vector<LeftOutRun>& LeftOut() const { return Runs; }

  private:
    struct ZeroRun {
        std::uint64_t from, to; // in the video received; to: ~0 while it goes on
    };

    const CUnreadableSectors& Unreadable;
    std::size_t TrailingZeros = 0; // zero bytes that end the video received, read from the disk
    bool ZerosPassed = false;      // what follows them tells that the recording goes on
    std::vector<ZeroRun> Passed;   // the runs the recording went on across, left out
    std::uint64_t Given = 0;       // bytes of the video received given on
    std::uint64_t UnreadableSeen = 0;
    std::vector<LeftOutRun> Runs;
};

// The video and the audio into the program-stream writer: the video's time
// stamps, on the file's time line, and its bytes are held back until they
// may go, then given with the audio that is due alongside, and shown to the
// picture grabber (rip/mux_feed.cpp). The file's time line is the video's
// continued one, moved by one constant so that it starts at the writer's
// preload.
class CMuxFeed {
  public:
    CMuxFeed(CProgramStreamWriter& writer, CAudioFeeder& audio, std::int64_t audioFirst,
             bool audioKnown, CZeroRunEditor& zeros, std::function<void()> progress);

    // The video written is shown to the grabber too, as far as it wants it.
    void TakePictures(CPictureGrabber& grabber) { Grabber = &grabber; }

    // Whether nothing has been given yet and no time stamp waits: the next
    // time stamp is the video's first.
    bool BeforeFirstStamp() const { return Stamps.empty() && !Started; }
    // The access unit at byte `offset` of the video has these time stamps,
    // on the video's continued time line.
    void Stamp(std::uint64_t offset, std::int64_t pts, std::int64_t dts);
    // `count` more bytes of the video, which end at byte `received` of it:
    // what lies before byte upTo goes to the writer (once a time stamp has
    // come, or too much is held), the rest is held back.
    void Put(const std::uint8_t* bytes, std::size_t count, std::uint64_t received,
             std::uint64_t upTo);
    // `count` more bytes of the video, held back.
    void Hold(const std::uint8_t* bytes, std::size_t count);
    // The recording ended at byte `end` of the video received, `received`
    // bytes: what is held past it is dropped. packetFrom: where the packet
    // that told the end by its time stamps begins, when one did; of it only
    // the video that goes on from the recording's stays.
    void DropPast(std::uint64_t received, std::uint64_t end,
                  std::optional<std::uint64_t> packetFrom);
    // Closes the video held with a sequence end code.
    void EndSequence();
    // The rest of the video, then the rest of the audio after it.
    void Finish();

    // How long the file plays, in 90 kHz ticks.
    std::int64_t Duration() const;
    // The pictures of the video written, spread over its length.
    std::vector<CPictureAt> Pictures();

  private:
    struct Pending {
        std::uint64_t offset;
        std::int64_t pts, dts;
    };
    void Give(const std::uint8_t* bytes, std::size_t n);
    void GiveStamps();
    void ShowPictures(const std::uint8_t* bytes, std::size_t n);
    void Start();

    CProgramStreamWriter& Writer;
    CAudioFeeder& Audio;
    std::int64_t AudioRaw, AudioFirst = 0;
    bool AudioKnown;
    CZeroRunEditor& Zeros;
    std::function<void()> Progress;
    std::vector<Pending> Stamps;    // not yet given to the writer
    std::vector<std::uint8_t> Held; // video bytes not yet given to the writer
    bool Started = false;
    std::int64_t Anchor = 0, Offset = 0;
    std::int64_t Horizon = 0;
    std::int64_t GivenPts = 0; // of the last time stamp given
    CPictureGrabber* Grabber = nullptr;
    bool GrabberSkipped = false; // video written was not shown to it
    std::int64_t FirstPts = std::numeric_limits<std::int64_t>::max(), LastFilePts = 0;
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

// Where the video goes as the ripper copies it: its time stamps continued,
// and with its bytes, the runs of zeros the recording went on across left
// out, into the writer, with the audio that is due alongside. It also
// watches for the recording's end: a packet whose time stamps say that the
// recording is over, or a run of zeros; the reader then stops, and nothing
// from there on goes into the file (rip/video_feed.cpp).
class CVideoFeed : public CPacketStamps, public CByteSink {
  public:
    CVideoFeed(CProgramStreamWriter& writer, CAudioFeeder& audio, std::int64_t audioFirst,
               bool audioKnown, CClusterReader& reader, int streamId, CRecordingEnd& end,
               std::function<void()> progress);

    // The video written is shown to the grabber too, as far as it wants it.
    void TakePictures(CPictureGrabber& grabber) { Mux.TakePictures(grabber); }

    void Copied(std::uint64_t offset, std::int64_t pts, std::int64_t dts, bool jumpedBack) override;
    void Put(const std::uint8_t* bytes, std::size_t count) override;

    // After the last of the video: drops what lies past the recording's end
    // and closes the video stream with a sequence end code.
    void EndSequence();
    // The rest of the video, then the rest of the audio after it.
    void Finish() { Mux.Finish(); }

    // How long the file plays, in 90 kHz ticks.
    std::int64_t Duration() const { return Mux.Duration(); }
    // The video's time line on its own clock, continued across wraps and
    // jumps, and where it begins.
    const CTimeLine& TimeLine() const { return Continuer.TimeLine(); }
    // The runs of zeros left out.
    const std::vector<LeftOutRun>& ZerosLeftOut() const { return Zeros.LeftOut(); }
    // The pictures of the video written, spread over its length.
    std::vector<CPictureAt> Pictures() { return Mux.Pictures(); }

  private:
    void EndAt(std::uint64_t offset);
    void WatchZeros(const std::uint8_t* bytes, std::size_t count);
    std::uint64_t ReleasableUpTo() const;

    CClusterReader& Reader;
    int StreamId;
    CRecordingEnd& EndRule;
    std::function<void()> Progress;
    CStampContinuer Continuer;
    CZeroRunEditor Zeros;
    CMuxFeed Mux;
    std::uint64_t Received = 0;   // video bytes received
    std::uint64_t PacketFrom = 0; // where the packet being copied begins in the video
    std::uint64_t PacketAt = 0;   // and its payload in the chain
    bool Ended = false, EndedByStamps = false;
    std::uint64_t EndOffset = 0; // where the recording ends in the video
};
