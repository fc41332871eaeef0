// The rescue job: one recording into one program stream. The audio is ripped
// first into a file of its own, as rip does it; the video then goes straight
// into the program-stream writer, and the audio joins it from that file in
// step with the video's time stamps. So the video is written once.
#include "platform/runlog.h"
#include "rip/rescue_parts.h"
#include "text/clock.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr std::uint32_t kEverything = 0xFFFFFFFFu; // the length -1 of a rip
constexpr std::int64_t kAudioLead = kPtsPerSecond; // audio given to the writer ahead of the video
// Video held back at most: while no picture has told its time stamps yet,
// and of the packet being copied.
constexpr std::uint64_t kUnstampedVideoLimit = 4 << 20;
constexpr std::uint32_t kProgressMs = 500;

// The first PTS of the audio that the audio ripper copies.
struct FirstStamp : CPacketStamps {
    bool known = false;
    std::int64_t pts = 0;
    void Copied(std::uint64_t, std::int64_t p, std::int64_t, bool) override {
        if (!known)
            pts = p;
        known = true;
    }
};

// Where the video goes as the ripper copies it: its time stamps onto the
// file's time line, its bytes into the writer, with the audio that is due
// alongside. The file's time line is the recording's, moved by one constant
// so that it starts at the writer's preload, and continued without a jump
// where the ripper took the time stamps as wrapped or jumped back, and where
// the recording's clock jumped. It also watches for the recording's end: a
// packet whose time stamps say that the recording is over, or a run of zeros;
// the reader then stops, and nothing from there on goes into the file.
class CVideoFeed : public CPacketStamps, public CByteSink {
  public:
    CVideoFeed(CProgramStreamWriter& writer, CAudioFeeder& audio, std::int64_t audioFirst,
               bool audioKnown, CClusterReader& reader, int streamId, CRecordingEnd& end,
               std::function<void()> progress)
        : Writer(writer), Audio(audio), AudioRaw(audioFirst), AudioKnown(audioKnown),
          Reader(reader), StreamId(streamId), EndRule(end), Progress(std::move(progress)) {}

    // The video written is shown to the grabber too, as far as it wants it.
    void TakePictures(CPictureGrabber& grabber) { Grabber = &grabber; }

    void Copied(std::uint64_t offset, std::int64_t pts, std::int64_t dts,
                bool jumpedBack) override {
        if (Ended)
            return;
        const CRecordingEnd::Verdict verdict = EndRule.Packet(Reader.GetBitPos() / 8, dts);
        if (verdict == CRecordingEnd::Verdict::End) {
            EndedByStamps = true;
            EndAt(offset);
            return;
        }
        PacketFrom = offset;
        PacketAt = Reader.GetBitPos() / 8;
        if (Stamps.empty() && !Started) {
            Anchor = pts;
        } else if (jumpedBack) {
            // A wrap of the 33-bit counter continues exactly; another jump
            // back continues one picture interval after the last picture.
            if (pts - LastPts < -static_cast<std::int64_t>(kPtsModulus / 2))
                Shift += static_cast<std::int64_t>(kPtsModulus);
            else
                Shift += LastDts + Step - dts;
        } else if (verdict == CRecordingEnd::Verdict::Jump) {
            Shift += LastDts + Step - dts; // the clock jumped ahead
        } else if (dts > LastDts) {
            Step = dts - LastDts;
        }
        LastPts = pts;
        LastDts = dts;
        Line.Add(PacketAt, dts + Shift);
        Stamps.push_back({offset, pts + Shift, dts + Shift});
        Progress();
    }

    void Put(const std::uint8_t* bytes, std::size_t count) override {
        Received += count;
        if (!Ended)
            WatchZeros(bytes, count);
        std::size_t release = 0; // of the held bytes and these, in this order
        const std::uint64_t heldFrom = Received - count - Held.size();
        if (!Ended && (Started || !Stamps.empty() || Held.size() + count >= kUnstampedVideoLimit))
            release = static_cast<std::size_t>(std::max(ReleasableUpTo(), heldFrom) - heldFrom);
        const std::size_t fromHeld = std::min(release, Held.size());
        if (fromHeld > 0) {
            Give(Held.data(), fromHeld);
            Held.erase(Held.begin(), Held.begin() + static_cast<std::ptrdiff_t>(fromHeld));
        }
        if (release > fromHeld) {
            Give(bytes, release - fromHeld);
            bytes += release - fromHeld;
            count -= release - fromHeld;
        }
        Held.insert(Held.end(), bytes, bytes + count);
    }

    // After the last of the video: drops what lies past the recording's end
    // and closes the video stream with a sequence end code.
    void EndSequence() {
        if (ZerosPassed) { // no byte came after the run
            Passed.back().to = Received;
            LeftOut.back().bytes = Received - Passed.back().from;
            ZerosPassed = false;
        }
        if (Ended) {
            const std::uint64_t heldFrom = Received - Held.size();
            std::uint64_t end = std::max(EndOffset, heldFrom);
            if (EndedByStamps && PacketFrom >= heldFrom && end > PacketFrom)
                end = PacketFrom +
                      CRecordingEnd::VideoTailEnd(&Held[PacketFrom - heldFrom], end - PacketFrom);
            Held.resize(static_cast<std::size_t>(end - heldFrom));
        }
        // 00 00 01 B7: the sequence end code.
        Held.insert(Held.end(), {0x00, 0x00, 0x01, 0xB7});
    }

    // The rest of the video, then the rest of the audio after it.
    void Finish() {
        Give(Held.data(), Held.size());
        Held.clear();
        Writer.End(CProgramStreamWriter::kVideo);
        Audio.FeedUntil(Writer, AudioFirst, std::numeric_limits<std::int64_t>::max());
        Writer.Finish();
    }

    // How long the file plays, in 90 kHz ticks.
    std::int64_t Duration() const {
        const std::int64_t last = std::max(LastFilePts, Audio.LastPts());
        const std::int64_t first = std::min(FirstPts, AudioKnown ? AudioFirst : FirstPts);
        return last > first ? last - first : 0;
    }

    // The video's time line on its own clock, continued across wraps and
    // jumps, and where it begins.
    const CTimeLine& TimeLine() const { return Line; }
    // The runs of zeros left out.
    const std::vector<LeftOutRun>& ZerosLeftOut() const { return LeftOut; }

    // The pictures of the video written, spread over its length.
    std::vector<CPictureAt> Pictures() {
        if (Grabber == nullptr)
            return {};
        Grabber->Skipped(static_cast<double>(Duration()) / kPtsPerSecond);
        return Grabber->Pictures(kRescuePictures);
    }

  private:
    struct Pending {
        std::uint64_t offset;
        std::int64_t pts, dts;
    };
    struct ZeroRun {
        std::uint64_t from, to; // in the video received; to: ~0 while it goes on
    };

    // The recording ends at byte `offset` of the video: the reader stops.
    void EndAt(std::uint64_t offset) {
        Ended = true;
        EndOffset = offset;
        Reader.SetEnd(Reader.GetBitPos() / 8);
    }

    // Counts the zeros that end the video so far, read from the disk: zeros
    // in place of sectors that could not be read are no sign of the end. A
    // long run of them is looked past once: what follows tells whether the
    // recording goes on.
    void WatchZeros(const std::uint8_t* bytes, std::size_t count) {
        const std::uint64_t unreadable = g_Unreadable.Bytes();
        std::size_t zeros = 0;
        while (zeros < count && bytes[count - 1 - zeros] == 0)
            ++zeros;
        if (zeros < count && ZerosPassed) {
            // The run looked past ends at the first byte that is not zero.
            std::size_t lead = 0;
            while (bytes[lead] == 0)
                ++lead;
            Passed.back().to = std::max(Passed.back().from, Received - count + lead - 2);
            LeftOut.back().bytes = Passed.back().to - Passed.back().from;
            ZerosPassed = false;
        }
        TrailingZeros = zeros == count ? TrailingZeros + count : zeros;
        if (unreadable != UnreadableSeen)
            TrailingZeros = 0;
        UnreadableSeen = unreadable;
        if (TrailingZeros < CRecordingEnd::kZeroRunBytes || ZerosPassed)
            return;
        // Within a packet the video is the chain's bytes as they lie.
        const std::uint64_t from = Received - TrailingZeros;
        const std::uint64_t at = PacketAt + (from > PacketFrom ? from - PacketFrom : 0);
        if (EndRule.Zeros(Reader, at, TrailingZeros, StreamId) == CRecordingEnd::Verdict::End) {
            EndAt(from);
        } else {
            ZerosPassed = true;
            Passed.push_back({from, ~std::uint64_t{0}});
            LeftOut.push_back({at, TrailingZeros});
        }
    }

    // Where the video received may go to the writer up to. A run of zeros
    // is held back until what follows it tells whether it is the
    // recording's. In the chain's last cluster, where an older recording's
    // data may follow the recording's last packet, so is the packet being
    // copied (up to a limit), until the next one tells that the recording
    // goes on.
    std::uint64_t ReleasableUpTo() const {
        // Of a run of zeros looked past, two stay: the prefix of the start
        // code that may follow.
        std::uint64_t upTo =
            Received - (ZerosPassed ? std::min<std::size_t>(TrailingZeros, 2) : TrailingZeros);
        if (Reader.GetBitPos() / kClusterBits + 1 >= Reader.Clusters().size())
            upTo = std::min(
                upTo, std::max(PacketFrom, Received - std::min(Received, kUnstampedVideoLimit)));
        return upTo;
    }

    // Gives the writer the pending time stamps and n bytes of the video,
    // with the audio that is due before them.
    void Give(const std::uint8_t* bytes, std::size_t n) {
        if (!Started)
            Start();
        // A stamp past a run of zeros not yet ended waits: where it lies in
        // the video without the run is not known yet.
        std::size_t given = 0;
        for (; given < Stamps.size(); ++given) {
            const Pending& p = Stamps[given];
            if (ZerosPassed && p.offset >= Passed.back().from)
                break;
            Writer.Stamp(CProgramStreamWriter::kVideo, Kept(p.offset), p.pts + Offset,
                         p.dts + Offset);
            GivenPts = p.pts + Offset;
            Horizon = std::max(Horizon, p.dts + Offset);
            FirstPts = std::min(FirstPts, p.pts + Offset);
            LastFilePts = std::max(LastFilePts, p.pts + Offset);
        }
        Stamps.erase(Stamps.begin(), Stamps.begin() + static_cast<std::ptrdiff_t>(given));
        Audio.FeedUntil(Writer, AudioFirst, Horizon + kAudioLead);
        WriteKept(bytes, n);
        Progress();
    }

    // The video's bytes to the writer, without the runs of zeros that the
    // recording went on across, but for their last two bytes: they hold no
    // picture, and a program stream whose clock follows its bytes would fall
    // behind its time stamps.
    void WriteKept(const std::uint8_t* bytes, std::size_t n) {
        while (n > 0) {
            std::uint64_t keep = n;
            for (const ZeroRun& run : Passed) {
                if (Given >= run.from && Given < run.to) {
                    keep = 0;
                    const std::size_t skip =
                        static_cast<std::size_t>(std::min<std::uint64_t>(n, run.to - Given));
                    Given += skip, bytes += skip, n -= skip;
                    break;
                }
                if (run.from > Given)
                    keep = std::min<std::uint64_t>(keep, run.from - Given);
            }
            if (keep > 0) {
                Writer.Write(CProgramStreamWriter::kVideo, bytes, static_cast<std::size_t>(keep));
                ShowPictures(bytes, static_cast<std::size_t>(keep));
                Given += keep, bytes += keep, n -= static_cast<std::size_t>(keep);
            }
        }
    }

    // The grabber is given the video written where it wants it, at the time
    // of the last time stamp given: most of the video it is not shown.
    void ShowPictures(const std::uint8_t* bytes, std::size_t n) {
        if (Grabber == nullptr)
            return;
        const double now =
            GivenPts > FirstPts ? static_cast<double>(GivenPts - FirstPts) / kPtsPerSecond : 0.0;
        if (!Grabber->Wants(now)) {
            GrabberSkipped = true;
            return;
        }
        if (GrabberSkipped)
            Grabber->Skipped(now);
        GrabberSkipped = false;
        Grabber->Feed(bytes, n);
    }

    // Where byte `offset` of the video received lies in the video written.
    std::uint64_t Kept(std::uint64_t offset) const {
        std::uint64_t kept = offset;
        for (const ZeroRun& run : Passed) {
            if (run.from < offset)
                kept -= std::min(offset, run.to) - run.from;
        }
        return kept;
    }

    // The audio starts as far from the first picture as in the recording;
    // what is due first comes at the preload.
    void Start() {
        Started = true;
        const bool video = !Stamps.empty();
        if (!video)
            Anchor = AudioRaw;
        const std::int64_t audio = Anchor + StampDifference(AudioRaw, Anchor);
        std::int64_t earliest = video ? Stamps.front().dts : audio;
        if (AudioKnown)
            earliest = std::min(earliest, audio);
        Offset = CProgramStreamWriter::kPreload - earliest;
        AudioFirst = audio + Offset;
    }

    CProgramStreamWriter& Writer;
    CAudioFeeder& Audio;
    std::int64_t AudioRaw, AudioFirst = 0;
    bool AudioKnown;
    CClusterReader& Reader;
    int StreamId;
    CRecordingEnd& EndRule;
    std::function<void()> Progress;
    std::vector<Pending> Stamps;    // not yet given to the writer
    std::vector<std::uint8_t> Held; // video bytes not yet given to the writer
    std::uint64_t Received = 0;     // video bytes received
    std::size_t TrailingZeros = 0;  // zero bytes that end them, read from the disk
    bool ZerosPassed = false;       // what follows them tells that the recording goes on
    std::vector<ZeroRun> Passed;    // the runs the recording went on across, left out
    std::uint64_t Given = 0;        // bytes of the video received given on
    std::uint64_t UnreadableSeen = 0;
    std::uint64_t PacketFrom = 0; // where the packet being copied begins in the video
    std::uint64_t PacketAt = 0;   // and its payload in the chain
    bool Ended = false, EndedByStamps = false;
    std::uint64_t EndOffset = 0; // where the recording ends in the video
    bool Started = false;
    std::int64_t Anchor = 0, Shift = 0, Offset = 0;
    std::int64_t LastPts = 0, LastDts = 0, Step = kPtsPerSecond / 25;
    std::int64_t Horizon = 0;
    std::int64_t GivenPts = 0; // of the last time stamp given
    CPictureGrabber* Grabber = nullptr;
    bool GrabberSkipped = false; // video written was not shown to it
    CTimeLine Line;
    std::vector<LeftOutRun> LeftOut;
    std::int64_t FirstPts = std::numeric_limits<std::int64_t>::max(), LastFilePts = 0;
};

RescueResult Failed(const std::string& reason) {
    RescueResult r;
    r.reason = reason;
    *g_Log << "rescue failed: " << reason << std::endl;
    return r;
}

RescueResult WriteFailure(const COBits& out, const std::string& name) {
    if (!out.DiskFull())
        return Failed("could not write " + name);
    RescueResult r = Failed("the disk is full");
    r.outcome = RescueResult::Outcome::DiskFull;
    return r;
}

// The recording's length as its header gives it, in 90 kHz ticks.
std::int64_t HeaderLength(const CPVRFile& file) {
    const int seconds =
        file.LengthHours() * 3600 + file.LengthMinutes() * 60 + file.LengthSeconds();
    return std::int64_t{std::max(seconds, 0)} * kPtsPerSecond;
}

RescueResult Rescue(CPVRFile& file, CClusterReader& video, CClusterReader& audio,
                    const std::string& fileName, CRescueProgress& progress,
                    const RescueChoices& choices);

// Where the search for a chain's first packet may begin: past the zeros that
// fill its first cluster before a recording that begins deep in it. One
// sector every kLeadStep bytes is looked at, and the search begins at the
// last of them that holds only zeros before the first that does not (or that
// could not be read), so that a recording is not looked for in bytes that
// were never written, and a recording's first bytes between two looks are
// still searched.
constexpr std::uint64_t kLeadStep =
    kBlockSize / 16 > kSectorSize ? kBlockSize / 16 : std::uint64_t{kSectorSize};

std::uint64_t PastLeadingZeros(CClusterReader& reader) {
    std::uint8_t sector[kSectorSize];
    std::uint64_t start = 0;
    for (std::uint64_t at = 0; at < kClusterBytes; at += kLeadStep) {
        const std::uint32_t got = reader.LookAhead(at, sector, kSectorSize);
        if (got == 0 || reader.ReadableBytes(at, got) < got ||
            std::any_of(sector, sector + got, [](std::uint8_t b) { return b != 0; }))
            break;
        start = at;
    }
    return start;
}

} // namespace

RescueResult RescueRecording(CPVRFile& file, const std::string& fileName, CRescueProgress& progress,
                             const RescueChoices& choices) {
    file.PrintInfo(*g_Log, false);
    CClusterReader video(file.DriveName(), file.FirstVCluster());
    CClusterReader audio(file.DriveName(), file.FirstACluster());
    return Rescue(file, video, audio, fileName, progress, choices);
}

RescueResult RescueRecording(CPVRFile& file, const RecordingChains& chains,
                             const std::string& fileName, CRescueProgress& progress,
                             const RescueChoices& choices) {
    file.PrintInfo(*g_Log, false);
    CClusterReader video(file.DriveName(), chains.video);
    CClusterReader audio(file.DriveName(), chains.audio);
    RescueChoices these = choices;
    these.seconds = chains.seconds;
    return Rescue(file, video, audio, fileName, progress, these);
}

std::uint64_t FileBytes(const std::string& name) {
    FileHandle handle = kInvalidHandle;
    std::uint64_t size = 0;
    if (!PlatOpenRead(name, handle) || !PlatSize(handle, size))
        size = 0;
    PlatClose(handle);
    return size;
}

std::string ClockText(double seconds) {
    return ClockText(seconds, ClockHours::Always, ClockSeconds::Cut);
}

std::string DamageText(const RecordingDamage& d) {
    const std::uint64_t bytes = d.driveTo - d.driveFrom;
    char size[32], text[192];
    if (bytes < 100000)
        std::snprintf(size, sizeof size, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(bytes) / 1e6);
    std::snprintf(text, sizeof text, "%s to %s: %s %s (%s, drive bytes %llu to %llu)",
                  ClockText(d.from).c_str(), ClockText(d.to).c_str(), size,
                  d.kind == RecordingDamage::Kind::Unreadable ? "could not be read"
                                                              : "of zeros left out",
                  d.video ? "video" : "sound", static_cast<unsigned long long>(d.driveFrom),
                  static_cast<unsigned long long>(d.driveTo));
    return text;
}

std::string PartFileName(const std::string& fileName, int part) {
    const std::size_t ext = std::string(kProgramStreamExtension).size();
    if (part <= 1 || fileName.size() < ext)
        return fileName;
    return fileName.substr(0, fileName.size() - ext) + " (part " + std::to_string(part) + ")" +
           kProgramStreamExtension;
}

namespace {

RescueResult Rescue(CPVRFile& file, CClusterReader& video, CClusterReader& audio,
                    const std::string& fileName, CRescueProgress& progress,
                    const RescueChoices& choices) {
    std::ostream& log = *g_Log;
    const std::uint64_t unreadableBefore = g_Unreadable.Bytes();
    int videoId = 0, audioId = 0;
    // What lies before each chain's first packet (the zeros before a
    // recording that begins deep in its cluster) is mostly passed over, and
    // the rest searched once.
    video.SetStart(PastLeadingZeros(video));
    audio.SetStart(PastLeadingZeros(audio));
    file.GetStreamIDs(video, videoId);
    const std::uint64_t videoStart = file.StreamStart();
    video.SetStart(videoStart);
    video.Rewind();
    file.GetStreamIDs(audio, audioId);
    const std::uint64_t audioStart = file.StreamStart();
    audio.SetStart(audioStart);
    audio.Rewind();
    log << std::hex << "Videostream=" << videoId << " " << std::endl
        << "Audiostream=" << audioId << " " << std::endl
        << std::dec;
    if (videoId == 0 || audioId == 0)
        return Failed(videoId == 0 ? "no video stream" : "no audio stream");
    std::int64_t audioPTS = 0, videoPTS = 0;
    file.FindFirstPTS(audio, audioId, audioPTS);
    file.FindFirstPTS(video, videoId, videoPTS);
    // No cut by time: each chain is copied up to the recording's end, which
    // its data tells.
    const std::int64_t firstPTS = videoPTS;
    const std::int64_t maxPTS =
        std::min(audioPTS, videoPTS) + std::int64_t{kEverything} * kPtsPerSecond;
    CRecordingEnd audioEnd(HeaderLength(file)), videoEnd(HeaderLength(file));
    log << std::fixed << "First PTS=" << static_cast<double>(firstPTS) << std::endl
        << "Max   PTS=" << static_cast<double>(maxPTS) << std::endl;

    const std::uint64_t total = (video.Clusters().size() + audio.Clusters().size()) * kClusterBytes;
    std::uint32_t lastReport = PlatTicks();
    auto report = [&] {
        if (PlatTicks() - lastReport < kProgressMs)
            return;
        lastReport = PlatTicks();
        const std::uint64_t read = (video.GetBitPos() + audio.GetBitPos()) / 8;
        progress.Update(std::min(1.0, static_cast<double>(read) / static_cast<double>(total)),
                        read);
    };

    // The audio, as rip writes it, into a file of its own.
    const bool ac3 = StreamClass(audioId) != kClassAudio;
    const std::string partName = fileName + kPartialExtension;
    const std::string audioName =
        fileName + (ac3 ? kAC3Extension : kMpegAudioExtension) + kPartialExtension;
    // Each packet copied is told to the end rule; one past the recording's
    // end stops the reader before its payload.
    struct AudioStamps : FirstStamp {
        CClusterReader* reader = nullptr;
        CRecordingEnd* end = nullptr;
        std::function<void()> tick;
        CTimeLine line; // on the first stamp's clock, across wraps
        std::int64_t first = 0;
        void Copied(std::uint64_t o, std::int64_t p, std::int64_t d, bool j) override {
            const std::uint64_t at = reader->GetBitPos() / 8;
            if (end->Packet(at, p) == CRecordingEnd::Verdict::End) {
                reader->SetEnd(at);
                return;
            }
            FirstStamp::Copied(o, p, d, j);
            line.Add(at, first + StampDifference(p, first));
            tick();
        }
    } audioStamps;
    audioStamps.reader = &audio;
    audioStamps.first = firstPTS;
    audioStamps.end = &audioEnd;
    audioStamps.tick = report;
    {
        bool created = false;
        COBits out(audioName, created);
        if (!created)
            return Failed("cannot create " + audioName);
        file.SetPacketStamps(&audioStamps);
        file.SetRecordingEnd(&audioEnd);
        if (ac3)
            file.RipPrivateStream(audio, out, audioId, firstPTS, maxPTS);
        else
            file.RipAudioStream(audio, out, audioId, firstPTS, maxPTS);
        file.SetRecordingEnd(nullptr);
        file.SetPacketStamps(nullptr);
        videoEnd.FollowOther(audioEnd);
        out.Flush();
        if (out.WriteFailed()) {
            PlatRemove(audioName);
            return WriteFailure(out, audioName);
        }
    }

    // The video into the writer, with the audio alongside.
    RescueResult result;
    bool created = false;
    int parts = 1;
    auto written = [&](int part) { return PartFileName(fileName, part); };
    {
        auto mpg = std::make_unique<COBits>(partName, created);
        if (choices.digests)
            mpg->TakeDigests();
        if (choices.partBytes > 0)
            mpg->SetParts(choices.partBytes,
                          [&](int part) { return written(part) + kPartialExtension; });
        if (created) {
            CAudioFeeder feeder(audioName, ac3 ? kAC3Format : kMpegAudioFormat);
            CProgramStreamWriter writer(*mpg, ac3 ? EsKind::AC3 : EsKind::MpegAudio,
                                        feeder.BitRate());
            CVideoFeed feed(writer, feeder, audioStamps.pts, audioStamps.known, video, videoId,
                            videoEnd, report);
            CPictureGrabber grabber;
            const double header = static_cast<double>(HeaderLength(file)) / kPtsPerSecond;
            grabber.Expect(header > 0 ? header : choices.seconds);
            if (choices.pictures)
                feed.TakePictures(grabber);
            {
                COBits videoOut(static_cast<CByteSink&>(feed));
                file.SetPacketStamps(&feed);
                file.RipVideoStream(video, videoOut, videoId, firstPTS, maxPTS);
                file.SetPacketStamps(nullptr);
            }
            feed.EndSequence();
            feed.Finish();
            mpg->Flush();
            result.digests = mpg->Digests();
            result.minutes = static_cast<double>(feed.Duration()) / kPtsPerSecond / 60;
            result.pictures = feed.Pictures();
            if (choices.pictures && result.pictures.empty())
                result.noPictures = grabber.WhyNone();
            DescribeSources(result, video, videoStart, audio, audioStart);
            DescribeDamage(result, {video, videoStart, feed.TimeLine()},
                           {audio, audioStart, audioStamps.line}, firstPTS, feed.ZerosLeftOut());
        }
        parts = mpg->Parts();
        if (created && mpg->WriteFailed()) {
            result = WriteFailure(*mpg, partName);
            created = false;
        }
    }
    PlatRemove(audioName);
    auto removeParts = [&] {
        for (int part = 1; part <= parts; ++part)
            PlatRemove(written(part) + kPartialExtension);
    };
    if (!created) {
        removeParts();
        return result.outcome == RescueResult::Outcome::DiskFull
                   ? result
                   : Failed("cannot create " + partName);
    }
    // A disk that stopped answering left the file short of the recording:
    // nothing of it goes under its name, and a run after the reconnect
    // rescues it again.
    if (g_Unreadable.Stopped()) {
        removeParts();
        RescueResult stopped = Failed("the disk stopped answering");
        stopped.outcome = RescueResult::Outcome::Stopped;
        return stopped;
    }
    // The first part last: a file of the recording's name tells that every
    // part is complete.
    for (int part = parts; part >= 1; --part) {
        if (!PlatRename(written(part) + kPartialExtension, written(part))) {
            removeParts();
            return Failed("cannot rename " + written(part) + kPartialExtension + " to " +
                          written(part));
        }
        result.files.insert(result.files.begin(), written(part));
        result.bytes += FileBytes(written(part));
    }
    result.unreadable = g_Unreadable.Bytes() - unreadableBefore;
    result.bytesRead = video.BytesRead() + audio.BytesRead();
    result.outcome =
        result.unreadable > 0 ? RescueResult::Outcome::Incomplete : RescueResult::Outcome::Ok;
    log << "read " << video.BytesRead() + audio.BytesRead() << " bytes of the drive" << std::endl
        << "rescued " << fileName << std::endl;
    return result;
}

} // namespace
