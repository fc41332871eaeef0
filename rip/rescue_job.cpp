// The rescue job: one recording into one program stream. The audio is ripped
// first into a file of its own, as rip does it; the video then goes straight
// into the program-stream writer, and the audio joins it from that file in
// step with the video's time stamps. So the video is written once. The parts
// that make the file are declared in rip/rescue_parts.h; this file is the job
// in its steps.
#include "platform/runlog.h"
#include "rip/rescue_parts.h"
#include "text/clock.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace {

constexpr std::uint32_t kEverything = 0xFFFFFFFFu; // the length -1 of a rip
constexpr std::uint32_t kProgressMs = 500;

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

// The audio's packets as the ripper copies them. Each is told to the end
// rule; one past the recording's end stops the reader before its payload.
// The first one's PTS is kept, and the time line on its clock, across wraps.
struct AudioStamps : CPacketStamps {
    bool known = false;
    std::int64_t pts = 0;
    CClusterReader* reader = nullptr;
    CRecordingEnd* end = nullptr;
    std::function<void()> tick;
    CTimeLine line; // on the first stamp's clock, across wraps
    std::int64_t first = 0;
    void Copied(std::uint64_t, std::int64_t p, std::int64_t, bool) override {
        const std::uint64_t at = reader->GetBitPos() / 8;
        if (end->Packet(at, p) == CRecordingEnd::Verdict::End) {
            reader->SetEnd(at);
            return;
        }
        if (!known)
            pts = p;
        known = true;
        line.Add(at, first + StampDifference(p, first));
        tick();
    }
};

// One rescue, step by step: the streams and where they begin, their first
// time stamps, the audio into a file of its own, the video with the audio
// into the program stream, and the file's parts under their names.
class CRescueJob {
  public:
    CRescueJob(CPVRFile& file, CClusterReader& video, CClusterReader& audio,
               const std::string& fileName, CRescueProgress& progress, const RescueChoices& choices)
        : File(file), Video(video), Audio(audio), FileName(fileName), Progress(progress),
          Choices(choices), AudioEnd(HeaderLength(file)), VideoEnd(HeaderLength(file)) {}

    RescueResult Run();

  private:
    // What writing the program stream left: the result so far, whether the
    // file was written, and in how many parts.
    struct Written {
        RescueResult result;
        bool created = false;
        int parts = 1;
    };

    bool FindStreams();
    void FindStamps();
    void Report();
    std::optional<RescueResult> RipAudio();
    Written WriteFile();
    void WriteVideo(COBits& mpg, RescueResult& result);
    RescueResult Keep(Written& written);
    void RemoveParts(int parts) const;

    CPVRFile& File;
    CClusterReader& Video;
    CClusterReader& Audio;
    const std::string& FileName;
    CRescueProgress& Progress;
    const RescueChoices& Choices;
    std::ostream& Log = *g_Log;
    const CUnreadableSectors& Unreadable = File.Drive().Unreadable();
    const std::uint64_t UnreadableBefore = Unreadable.Bytes();
    int VideoId = 0, AudioId = 0;
    std::uint64_t VideoStart = 0, AudioStart = 0;
    std::int64_t FirstPts = 0, MaxPts = 0;
    CRecordingEnd AudioEnd, VideoEnd;
    std::uint64_t Total = 0; // bytes of both chains
    std::uint32_t LastReport = 0;
    bool Ac3 = false;
    std::string PartialName, AudioName;
    AudioStamps AudioPackets;
};

RescueResult CRescueJob::Run() {
    if (!FindStreams())
        return Failed(VideoId == 0 ? "no video stream" : "no audio stream");
    FindStamps();
    if (std::optional<RescueResult> failed = RipAudio())
        return *failed;
    Written written = WriteFile();
    PlatRemove(AudioName);
    return Keep(written);
}

// Each chain's stream and where it begins. What lies before each chain's
// first packet (the zeros before a recording that begins deep in its
// cluster) is mostly passed over, and the rest searched once.
bool CRescueJob::FindStreams() {
    Video.SetStart(PastLeadingZeros(Video));
    Audio.SetStart(PastLeadingZeros(Audio));
    File.GetStreamIDs(Video, VideoId);
    VideoStart = File.StreamStart();
    Video.SetStart(VideoStart);
    Video.Rewind();
    File.GetStreamIDs(Audio, AudioId);
    AudioStart = File.StreamStart();
    Audio.SetStart(AudioStart);
    Audio.Rewind();
    Log << std::hex << "Videostream=" << VideoId << " " << std::endl
        << "Audiostream=" << AudioId << " " << std::endl
        << std::dec;
    return VideoId != 0 && AudioId != 0;
}

// The first time stamps. No cut by time: each chain is copied up to the
// recording's end, which its data tells. The progress is told from here on.
void CRescueJob::FindStamps() {
    std::int64_t audioPTS = 0, videoPTS = 0;
    File.FindFirstPTS(Audio, AudioId, audioPTS);
    File.FindFirstPTS(Video, VideoId, videoPTS);
    FirstPts = videoPTS;
    MaxPts = std::min(audioPTS, videoPTS) + std::int64_t{kEverything} * kPtsPerSecond;
    Log << std::fixed << "First PTS=" << static_cast<double>(FirstPts) << std::endl
        << "Max   PTS=" << static_cast<double>(MaxPts) << std::endl;
    Total = (Video.Clusters().size() + Audio.Clusters().size()) * kClusterBytes;
    LastReport = PlatTicks();
}

// Tells the progress, every kProgressMs at most.
void CRescueJob::Report() {
    if (PlatTicks() - LastReport < kProgressMs)
        return;
    LastReport = PlatTicks();
    const std::uint64_t read = (Video.GetBitPos() + Audio.GetBitPos()) / 8;
    Progress.Update(std::min(1.0, static_cast<double>(read) / static_cast<double>(Total)), read);
}

// The audio, as rip writes it, into a file of its own; the failure, if it
// could not be written.
std::optional<RescueResult> CRescueJob::RipAudio() {
    Ac3 = StreamClass(AudioId) != kClassAudio;
    PartialName = FileName + kPartialExtension;
    AudioName = FileName + (Ac3 ? kAC3Extension : kMpegAudioExtension) + kPartialExtension;
    AudioPackets.reader = &Audio;
    AudioPackets.first = FirstPts;
    AudioPackets.end = &AudioEnd;
    AudioPackets.tick = [this] { Report(); };
    bool created = false;
    COBits out(AudioName, created);
    if (!created)
        return Failed("cannot create " + AudioName);
    File.SetPacketStamps(&AudioPackets);
    File.SetRecordingEnd(&AudioEnd);
    if (Ac3)
        File.RipPrivateStream(Audio, out, AudioId, FirstPts, MaxPts);
    else
        File.RipAudioStream(Audio, out, AudioId, FirstPts, MaxPts);
    File.SetRecordingEnd(nullptr);
    File.SetPacketStamps(nullptr);
    VideoEnd.FollowOther(AudioEnd);
    out.Flush();
    if (out.WriteFailed()) {
        PlatRemove(AudioName);
        return WriteFailure(out, AudioName);
    }
    return std::nullopt;
}

// The program stream, in its parts under their partial names.
CRescueJob::Written CRescueJob::WriteFile() {
    Written written;
    auto mpg = std::make_unique<COBits>(PartialName, written.created);
    if (Choices.digests)
        mpg->TakeDigests();
    if (Choices.partBytes > 0)
        mpg->SetParts(Choices.partBytes, [this](int part) {
            return PartFileName(FileName, part) + kPartialExtension;
        });
    if (written.created)
        WriteVideo(*mpg, written.result);
    written.parts = mpg->Parts();
    if (written.created && mpg->WriteFailed()) {
        written.result = WriteFailure(*mpg, PartialName);
        written.created = false;
    }
    return written;
}

// The video into the writer, with the audio alongside; what became of it
// into the result.
void CRescueJob::WriteVideo(COBits& mpg, RescueResult& result) {
    CAudioFeeder feeder(AudioName, Ac3 ? kAC3Format : kMpegAudioFormat);
    CProgramStreamWriter writer(mpg, Ac3 ? EsKind::AC3 : EsKind::MpegAudio, feeder.BitRate());
    CVideoFeed feed(writer, feeder, AudioPackets.pts, AudioPackets.known, Video, VideoId, VideoEnd,
                    [this] { Report(); });
    CPictureGrabber grabber;
    const double header = static_cast<double>(HeaderLength(File)) / kPtsPerSecond;
    grabber.Expect(header > 0 ? header : Choices.seconds);
    if (Choices.pictures)
        feed.TakePictures(grabber);
    {
        COBits videoOut(static_cast<CByteSink&>(feed));
        File.SetPacketStamps(&feed);
        File.RipVideoStream(Video, videoOut, VideoId, FirstPts, MaxPts);
        File.SetPacketStamps(nullptr);
    }
    feed.EndSequence();
    feed.Finish();
    mpg.Flush();
    result.digests = mpg.Digests();
    result.minutes = static_cast<double>(feed.Duration()) / kPtsPerSecond / 60;
    result.pictures = feed.Pictures();
    if (Choices.pictures && result.pictures.empty())
        result.noPictures = grabber.WhyNone();
    DescribeSources(result, Video, VideoStart, Audio, AudioStart);
    DescribeDamage(result, {Video, VideoStart, feed.TimeLine()},
                   {Audio, AudioStart, AudioPackets.line}, FirstPts, feed.ZerosLeftOut());
}

// The parts written under their names, the first part last: a file of the
// recording's name tells that every part is complete. A disk that stopped
// answering left the file short of the recording: nothing of it goes under
// its name, and a run after the reconnect rescues it again.
RescueResult CRescueJob::Keep(Written& written) {
    RescueResult& result = written.result;
    if (!written.created) {
        RemoveParts(written.parts);
        return result.outcome == RescueResult::Outcome::DiskFull
                   ? result
                   : Failed("cannot create " + PartialName);
    }
    if (Unreadable.Stopped()) {
        RemoveParts(written.parts);
        RescueResult stopped = Failed("the disk stopped answering");
        stopped.outcome = RescueResult::Outcome::Stopped;
        return stopped;
    }
    for (int part = written.parts; part >= 1; --part) {
        const std::string name = PartFileName(FileName, part);
        if (!PlatRename(name + kPartialExtension, name)) {
            RemoveParts(written.parts);
            return Failed("cannot rename " + name + kPartialExtension + " to " + name);
        }
        result.files.insert(result.files.begin(), name);
        result.bytes += FileBytes(name);
    }
    result.unreadable = Unreadable.Bytes() - UnreadableBefore;
    result.bytesRead = Video.BytesRead() + Audio.BytesRead();
    result.outcome =
        result.unreadable > 0 ? RescueResult::Outcome::Incomplete : RescueResult::Outcome::Ok;
    Log << "read " << Video.BytesRead() + Audio.BytesRead() << " bytes of the drive" << std::endl
        << "rescued " << FileName << std::endl;
    return result;
}

void CRescueJob::RemoveParts(int parts) const {
    for (int part = 1; part <= parts; ++part)
        PlatRemove(PartFileName(FileName, part) + kPartialExtension);
}

} // namespace

RescueResult RescueRecording(CPVRFile& file, const std::string& fileName, CRescueProgress& progress,
                             const RescueChoices& choices) {
    file.PrintInfo(*g_Log, false);
    CClusterReader video(file.Drive(), file.FirstVCluster());
    CClusterReader audio(file.Drive(), file.FirstACluster());
    return CRescueJob(file, video, audio, fileName, progress, choices).Run();
}

RescueResult RescueRecording(CPVRFile& file, const RecordingChains& chains,
                             const std::string& fileName, CRescueProgress& progress,
                             const RescueChoices& choices) {
    file.PrintInfo(*g_Log, false);
    CClusterReader video(file.Drive(), chains.video);
    CClusterReader audio(file.Drive(), chains.audio);
    RescueChoices these = choices;
    these.seconds = chains.seconds;
    return CRescueJob(file, video, audio, fileName, progress, these).Run();
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
