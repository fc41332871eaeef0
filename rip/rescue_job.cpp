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
#include <memory>
#include <vector>

namespace {

constexpr std::uint32_t kEverything = 0xFFFFFFFFu; // the length -1 of a rip
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
