// The feed of the program-stream writer: the video held back until it may
// go, then given with its time stamps and the audio that is due alongside,
// and shown to the picture grabber.
#include "rip/rescue_parts.h"

#include <algorithm>

namespace {

constexpr std::int64_t kAudioLead = kPtsPerSecond; // audio given to the writer ahead of the video

} // namespace

CMuxFeed::CMuxFeed(CProgramStreamWriter& writer, CAudioFeeder& audio, std::int64_t audioFirst,
                   bool audioKnown, CZeroRunEditor& zeros, std::function<void()> progress)
    : Writer(writer), Audio(audio), AudioRaw(audioFirst), AudioKnown(audioKnown), Zeros(zeros),
      Progress(std::move(progress)) {}

void CMuxFeed::Stamp(std::uint64_t offset, std::int64_t pts, std::int64_t dts) {
    if (BeforeFirstStamp())
        Anchor = pts;
    Stamps.push_back({offset, pts, dts});
}

void CMuxFeed::Put(const std::uint8_t* bytes, std::size_t count, std::uint64_t received,
                   std::uint64_t upTo) {
    std::size_t release = 0; // of the held bytes and these, in this order
    const std::uint64_t heldFrom = received - count - Held.size();
    if (Started || !Stamps.empty() || Held.size() + count >= kUnstampedVideoLimit)
        release = static_cast<std::size_t>(std::max(upTo, heldFrom) - heldFrom);
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
    Hold(bytes, count);
}

void CMuxFeed::Hold(const std::uint8_t* bytes, std::size_t count) {
    Held.insert(Held.end(), bytes, bytes + count);
}

void CMuxFeed::DropPast(std::uint64_t received, std::uint64_t endAt,
                        std::optional<std::uint64_t> packetFrom) {
    const std::uint64_t heldFrom = received - Held.size();
    std::uint64_t end = std::max(endAt, heldFrom);
    if (packetFrom && *packetFrom >= heldFrom && end > *packetFrom)
        end = *packetFrom +
              CRecordingEnd::VideoTailEnd(&Held[*packetFrom - heldFrom], end - *packetFrom);
    Held.resize(static_cast<std::size_t>(end - heldFrom));
}

void CMuxFeed::EndSequence() {
    // 00 00 01 B7: the sequence end code.
    Held.insert(Held.end(), {0x00, 0x00, 0x01, 0xB7});
}

void CMuxFeed::Finish() {
    Give(Held.data(), Held.size());
    Held.clear();
    Writer.End(CProgramStreamWriter::kVideo);
    Audio.FeedUntil(Writer, AudioFirst, std::numeric_limits<std::int64_t>::max());
    Writer.Finish();
}

std::int64_t CMuxFeed::Duration() const {
    const std::int64_t last = std::max(LastFilePts, Audio.LastPts());
    const std::int64_t first = std::min(FirstPts, AudioKnown ? AudioFirst : FirstPts);
    return last > first ? last - first : 0;
}

std::vector<CPictureAt> CMuxFeed::Pictures() {
    if (Grabber == nullptr)
        return {};
    Grabber->Skipped(static_cast<double>(Duration()) / kPtsPerSecond);
    return Grabber->Pictures(kRescuePictures);
}

// Gives the writer the pending time stamps and n bytes of the video, with
// the audio that is due before them; the runs of zeros left out, the video
// written is shown to the grabber.
void CMuxFeed::Give(const std::uint8_t* bytes, std::size_t n) {
    if (!Started)
        Start();
    GiveStamps();
    Audio.FeedUntil(Writer, AudioFirst, Horizon + kAudioLead);
    Zeros.Edit(bytes, n, [this](const std::uint8_t* kept, std::size_t count) {
        Writer.Write(CProgramStreamWriter::kVideo, kept, count);
        ShowPictures(kept, count);
    });
    Progress();
}

// The pending time stamps, on the file's time line, up to one that waits
// for a run of zeros to end.
void CMuxFeed::GiveStamps() {
    std::size_t given = 0;
    for (; given < Stamps.size(); ++given) {
        const Pending& p = Stamps[given];
        if (Zeros.Waits(p.offset))
            break;
        Writer.Stamp(CProgramStreamWriter::kVideo, Zeros.Kept(p.offset), p.pts + Offset,
                     p.dts + Offset);
        GivenPts = p.pts + Offset;
        Horizon = std::max(Horizon, p.dts + Offset);
        FirstPts = std::min(FirstPts, p.pts + Offset);
        LastFilePts = std::max(LastFilePts, p.pts + Offset);
    }
    Stamps.erase(Stamps.begin(), Stamps.begin() + static_cast<std::ptrdiff_t>(given));
}

// The grabber is given the video written where it wants it, at the time
// of the last time stamp given: most of the video it is not shown.
void CMuxFeed::ShowPictures(const std::uint8_t* bytes, std::size_t n) {
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

// The audio starts as far from the first picture as in the recording;
// what is due first comes at the preload.
void CMuxFeed::Start() {
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
