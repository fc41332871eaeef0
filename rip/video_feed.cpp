// The video as the ripper copies it, into the parts that make the file of it:
// the stamp continuer, the zero-run editor and the mux feed; and the watch
// for the recording's end.
#include "rip/rescue_parts.h"

#include <algorithm>

CVideoFeed::CVideoFeed(CProgramStreamWriter& writer, CAudioFeeder& audio, std::int64_t audioFirst,
                       bool audioKnown, CClusterReader& reader, int streamId, CRecordingEnd& end,
                       std::function<void()> progress)
    : Reader(reader), StreamId(streamId), EndRule(end), Progress(std::move(progress)),
      Zeros(reader.Session().Unreadable()), Mux(writer, audio, audioFirst, audioKnown, Zeros, Progress) {}

void CVideoFeed::Copied(std::uint64_t offset, std::int64_t pts, std::int64_t dts, bool jumpedBack) {
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
    const CStampContinuer::Stamps stamps =
        Continuer.Continue(PacketAt, pts, dts, Mux.BeforeFirstStamp(), jumpedBack,
                           verdict == CRecordingEnd::Verdict::Jump);
    Mux.Stamp(offset, stamps.pts, stamps.dts);
    Progress();
}

void CVideoFeed::Put(const std::uint8_t* bytes, std::size_t count) {
    Received += count;
    if (!Ended)
        WatchZeros(bytes, count);
    if (Ended)
        Mux.Hold(bytes, count);
    else
        Mux.Put(bytes, count, Received, ReleasableUpTo());
}

void CVideoFeed::EndSequence() {
    Zeros.EndRun(Received); // no byte came after the run
    if (Ended)
        Mux.DropPast(Received, EndOffset,
                     EndedByStamps ? std::optional<std::uint64_t>(PacketFrom) : std::nullopt);
    Mux.EndSequence();
}

// The recording ends at byte `offset` of the video: the reader stops.
void CVideoFeed::EndAt(std::uint64_t offset) {
    Ended = true;
    EndOffset = offset;
    Reader.SetEnd(Reader.GetBitPos() / 8);
}

// A long run of zeros that ends the video is looked past once: what follows
// tells whether the recording goes on.
void CVideoFeed::WatchZeros(const std::uint8_t* bytes, std::size_t count) {
    const std::optional<std::uint64_t> from = Zeros.Watch(bytes, count, Received);
    if (!from)
        return;
    // Within a packet the video is the chain's bytes as they lie.
    const std::uint64_t at = PacketAt + (*from > PacketFrom ? *from - PacketFrom : 0);
    if (EndRule.Zeros(Reader, at, Zeros.TrailingZeroBytes(), StreamId) ==
        CRecordingEnd::Verdict::End)
        EndAt(*from);
    else
        Zeros.LookPast(*from, at);
}

// Where the video received may go to the writer up to. A run of zeros is
// held back until what follows it tells whether it is the recording's. In
// the chain's last cluster, where an older recording's data may follow the
// recording's last packet, so is the packet being copied (up to a limit),
// until the next one tells that the recording goes on.
std::uint64_t CVideoFeed::ReleasableUpTo() const {
    std::uint64_t upTo = Received - Zeros.WaitingBytes();
    if (Reader.GetBitPos() / kClusterBits + 1 >= Reader.Clusters().size())
        upTo = std::min(upTo,
                        std::max(PacketFrom, Received - std::min(Received, kUnstampedVideoLimit)));
    return upTo;
}
