// Where the chains' bytes lie on the drive: the drive ranges each chain's
// stream was read from, and the damage found in them, with its times in the
// file.
#include "rip/rescue_parts.h"

#include "platform/runlog.h"

#include <algorithm>
#include <tuple>

namespace {

// Seconds into the file of chain byte `byte` on a chain's time line, whose
// stamp `zero` is the file's start.
double Seconds(const CTimeLine& line, std::uint64_t byte, std::int64_t zero) {
    const std::int64_t stamp = line.At(byte);
    return stamp < 0 ? 0.0 : std::max(0.0, static_cast<double>(stamp - zero) / kPtsPerSecond);
}

// The unreadable bytes that lay in one chain's stream.
void AddUnreadable(RescueResult& result, const ChainRead& chain, bool isVideo, std::int64_t zero) {
    const CClusterReader& reader = chain.reader;
    const std::uint64_t start = chain.start;
    const std::uint64_t end = reader.GetBitPos() / 8;
    for (std::size_t i = 0; i < reader.Clusters().size(); ++i) {
        const std::uint64_t chainFrom = i * kClusterBytes;
        const std::uint64_t driveFrom = DriveByte(reader, chainFrom);
        for (const auto& [badFrom, badTo] : reader.Session().Unreadable().RunMap()) {
            const std::uint64_t a = std::max(badFrom, driveFrom);
            const std::uint64_t b = std::min(badTo, driveFrom + kClusterBytes);
            const std::uint64_t at = chainFrom + (a - driveFrom);
            if (a >= b || at + (b - a) <= start || at >= end)
                continue;
            const double from = Seconds(chain.line, at, zero);
            const double to = Seconds(chain.line, at + (b - a), zero);
            result.damage.push_back({RecordingDamage::Kind::Unreadable, isVideo, a, b, from, to});
        }
    }
}

// The runs of zeros left out of the video.
void AddZerosLeftOut(RescueResult& result, const ChainRead& video,
                     const std::vector<LeftOutRun>& zeros, std::int64_t zero) {
    for (const LeftOutRun& run : zeros)
        result.damage.push_back({RecordingDamage::Kind::ZerosLeftOut, true,
                                 DriveByte(video.reader, run.chainByte),
                                 DriveByte(video.reader, run.chainByte + run.bytes - 1) + 1,
                                 Seconds(video.line, run.chainByte, zero),
                                 Seconds(video.line, run.chainByte + run.bytes, zero)});
}

} // namespace

std::uint64_t DriveByte(const CClusterReader& reader, std::uint64_t byte) {
    const std::uint64_t index = byte / kClusterBytes;
    if (index >= reader.Clusters().size())
        return ~std::uint64_t{0};
    return static_cast<std::uint64_t>(ClusterSector(reader.Clusters()[index])) * kSectorSize +
           byte % kClusterBytes;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>>
DriveRanges(const CClusterReader& reader, std::uint64_t from, std::uint64_t to) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    while (from < to && DriveByte(reader, from) != ~std::uint64_t{0}) {
        const std::uint64_t end = std::min(to, (from / kClusterBytes + 1) * kClusterBytes);
        ranges.emplace_back(DriveByte(reader, from), DriveByte(reader, end - 1) + 1);
        from = end;
    }
    return ranges;
}

void DescribeSources(RescueResult& result, const CClusterReader& video, std::uint64_t videoStart,
                     const CClusterReader& audio, std::uint64_t audioStart) {
    for (const auto& [reader, start, isVideo] :
         {std::make_tuple(&video, videoStart, true), std::make_tuple(&audio, audioStart, false)}) {
        ChainSource source;
        source.video = isVideo;
        source.ranges = DriveRanges(*reader, start, reader->GetBitPos() / 8);
        result.sources.push_back(source);
    }
}

void DescribeDamage(RescueResult& result, const ChainRead& video, const ChainRead& audio,
                    std::int64_t firstPts, const std::vector<LeftOutRun>& zeros) {
    const std::int64_t zero = video.line.First() != 0 ? video.line.First() : firstPts;
    AddUnreadable(result, video, true, zero);
    AddZerosLeftOut(result, video, zeros, zero);
    AddUnreadable(result, audio, false, zero);
    for (const RecordingDamage& d : result.damage)
        *g_Log << DamageText(d) << std::endl;
}
