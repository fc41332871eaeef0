// The end of a recording's data in its chain, told from the data: the rule
// that says whether the recording goes on past each packet.
#include "extract/extract.h"
#include "platform/runlog.h"
#include "reader/reader.h"

#include <algorithm>
#include <ostream>

namespace {

constexpr std::int64_t kStepBack = kPtsPerSecond;  // a step back no longer is no jump
constexpr std::int64_t kStepAhead = kPtsPerSecond; // a step ahead beyond what the bytes hold
constexpr std::int64_t kOtherMargin = 2 * kPtsPerSecond;
constexpr std::int64_t kJumpNear = 3 * kPtsPerSecond; // the other chain's jump at about that time
constexpr std::int64_t kJumpAlike = kPtsPerSecond;    // and of about that size
constexpr std::int64_t kLengthMargin = 5 * kPtsPerSecond;
constexpr std::uint32_t kStartCodeZeros = 2;       // 00 00 of the prefix 00 00 01
constexpr std::uint32_t kHeaderOverlapBytes = 512; // more than the longest PES header

// Where the first header of the stream with a time stamp begins in
// bytes[0, count), and its stamp; count when none does.
std::size_t FindHeader(const std::uint8_t* bytes, std::size_t count, int streamId,
                       std::int64_t& stamp) {
    const auto id = static_cast<std::uint8_t>(streamId);
    for (std::size_t at = FindStartCode(bytes, count, id); at < count;
         at += 1 + FindStartCode(bytes + at + 1, count - at - 1, id)) {
        PesBytes pes;
        if (ReadPesBytes(bytes + at, count - at, pes)) {
            stamp = pes.Stamp();
            return at;
        }
    }
    return count;
}

// How many of bytes[0, count) are zeros before the first that is not.
std::uint32_t LeadingZeros(const std::uint8_t* bytes, std::uint32_t count) {
    return static_cast<std::uint32_t>(
        std::find_if(bytes, bytes + count, [](std::uint8_t b) { return b != 0; }) - bytes);
}

double Seconds(std::int64_t ticks) {
    return static_cast<double>(ticks) / kPtsPerSecond;
}

} // namespace

void CRecordingEnd::FollowOther(const CRecordingEnd& other) {
    Other = other.Started ? &other : nullptr;
}

bool CRecordingEnd::GoesOn(std::int64_t step, std::uint64_t bytes) const {
    // What the bytes between the packets can hold, at the rate so far.
    std::int64_t holds = 0;
    if (Lasted >= kPtsPerSecond && LastPos > FirstPos)
        holds = static_cast<std::int64_t>(static_cast<double>(bytes) * static_cast<double>(Lasted) /
                                          static_cast<double>(LastPos - FirstPos) * 1.5);
    return step >= -kStepBack && step <= kStepAhead + holds;
}

bool CRecordingEnd::JumpsInside(std::int64_t step) const {
    if (Other != nullptr) {
        for (const Jump& jump : Other->Jumps) {
            if (std::abs(jump.at - Lasted) <= kJumpNear && std::abs(jump.by - step) <= kJumpAlike)
                return true;
        }
        return Lasted + kOtherMargin < Other->Lasted;
    }
    if (Length > 0)
        return Lasted + std::max(kLengthMargin, Length / 10) < Length;
    return true;
}

CRecordingEnd::Verdict CRecordingEnd::Ends(std::uint64_t pos, const char* why) {
    HasEnded = true;
    EndPos = pos;
    *g_Log << std::fixed << "the recording ends at byte " << pos << " of its chain, after "
           << Seconds(Lasted) << " s: " << why << std::endl;
    return Verdict::End;
}

void CRecordingEnd::Take(std::uint64_t pos, std::int64_t stamp, std::int64_t step) {
    Lasted += std::max<std::int64_t>(step, 0);
    LastPos = pos;
    LastStamp = stamp;
    Broken = false;
}

CRecordingEnd::Verdict CRecordingEnd::Packet(std::uint64_t pos, std::int64_t stamp) {
    if (HasEnded) // the last packet, told after the look past it
        return pos < EndPos ? Verdict::GoOn : Verdict::End;
    if (!Started) {
        Started = true;
        FirstPos = LastPos = pos;
        LastStamp = stamp;
        return Verdict::GoOn;
    }
    const std::int64_t step = StampDifference(stamp, LastStamp);
    if (GoesOn(step, pos - LastPos)) {
        Take(pos, stamp, step);
        return Verdict::GoOn;
    }
    if (Broken || !JumpsInside(step))
        return Ends(pos, "the time stamps do not go on");
    *g_Log << std::fixed << "clock jump of " << Seconds(step) << " s after " << Seconds(Lasted)
           << " s of the recording: it goes on" << std::endl;
    Jumps.push_back({Lasted, step});
    Take(pos, stamp, 0);
    return Verdict::Jump;
}

CRecordingEnd::Verdict CRecordingEnd::Break(std::uint64_t pos, const std::uint8_t* bytes,
                                            std::uint32_t count, std::uint32_t readable,
                                            int streamId) {
    if (HasEnded)
        return Verdict::End;
    if (count == 0)
        return Ends(pos, "its chain ends");
    if (LeadingZeros(bytes, count) == count && readable == count)
        return Ends(pos, "zeros follow it to its chain's end");
    return Resumes(pos, pos, pos, bytes, count, readable, streamId);
}

CRecordingEnd::Verdict CRecordingEnd::Resumes(std::uint64_t from, std::uint64_t resumes,
                                              std::uint64_t at, const std::uint8_t* bytes,
                                              std::uint32_t count, std::uint32_t readable,
                                              int streamId) {
    std::int64_t stamp = 0;
    const std::size_t header = FindHeader(bytes, readable, streamId, stamp);
    const bool acrossZeros = resumes > from;
    if (header < readable) {
        if (!Started || GoesOn(StampDifference(stamp, LastStamp), at + header - LastPos)) {
            Broken = true;
            if (acrossZeros) {
                ZerosGoneOnFrom = from;
                *g_Log << "zeros from byte " << from << " of its chain, " << resumes - from
                       << " bytes: the recording goes on past them" << std::endl;
            }
            return Verdict::GoOn;
        }
        return Ends(from, acrossZeros ? "an older recording's data follows the zeros after it"
                                      : "the next packet's time stamps do not go on");
    }
    if (readable < count) {
        Broken = true; // unreadable sectors before anything could be told
        return Verdict::GoOn;
    }
    return Ends(from, acrossZeros ? "no packet of the stream follows the zeros after it"
                                  : "no packet of the stream follows its last one");
}

std::uint32_t CRecordingEnd::Look(CClusterReader& reader, std::uint64_t at, std::uint8_t* out,
                                  std::uint32_t count, std::uint32_t& readable) {
    const std::uint64_t before = reader.BytesRead();
    const std::uint32_t got = reader.LookAhead(at, out, count);
    Probed += reader.BytesRead() - before;
    readable = reader.ReadableBytes(at, got);
    return got;
}

std::uint64_t CRecordingEnd::ProbeStep() const {
    std::uint64_t wanted = 0;
    if (Lasted >= kPtsPerSecond && LastPos > FirstPos)
        wanted =
            static_cast<std::uint64_t>(static_cast<double>(LastPos - FirstPos) * kProbeSeconds *
                                       kPtsPerSecond / static_cast<double>(Lasted));
    std::uint64_t step = kBlockSize;
    while (step > kBlockSize / 16 && step > kProbeBytes && step / 2 >= wanted)
        step /= 2;
    return step;
}

std::uint64_t CRecordingEnd::DataFrom(CClusterReader& reader, std::uint64_t zerosTo) {
    constexpr std::uint64_t kNone = ~std::uint64_t{0};
    std::vector<std::uint8_t> bytes(kLookAheadBytes);
    // The first stretch in full, as most runs of zeros inside a recording
    // are short; then a probe every step. No byte read before zerosTo is
    // other than zero.
    Probed = 0;
    const std::uint64_t step = ProbeStep();
    std::uint64_t at = zerosTo;
    std::uint32_t want = kLookAheadBytes;
    while (Probed < kProbeLimitBytes) {
        std::uint32_t readable = 0;
        const std::uint32_t got = Look(reader, at, bytes.data(), want, readable);
        const std::uint32_t zeros = LeadingZeros(bytes.data(), readable);
        if (zeros < readable) {
            // Data lies between the last probe of zeros and this byte: the
            // sectors between are halved until the first one found.
            std::uint64_t lo = zerosTo, hi = at + zeros;
            while (hi - lo > kSectorSize && Probed < kProbeLimitBytes) {
                const std::uint64_t mid =
                    std::max(lo, (lo + (hi - lo) / 2) / kSectorSize * kSectorSize);
                std::uint32_t r = 0;
                const std::uint32_t n = Look(reader, mid, bytes.data(), kSectorSize, r);
                const std::uint32_t z = LeadingZeros(bytes.data(), r);
                if (n == 0)
                    break;
                if (z < r)
                    hi = mid + z;
                else
                    lo = mid + n;
            }
            std::uint32_t r = 0;
            const auto n =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(hi - lo, kSectorSize));
            Look(reader, lo, bytes.data(), n, r);
            const std::uint32_t z = LeadingZeros(bytes.data(), std::min(r, n));
            return z < std::min(r, n) ? lo + z : hi;
        }
        if (got < want)
            return kNone; // the chain ends in zeros
        zerosTo = at + got;
        at = (zerosTo + step - 1) / step * step;
        want = kProbeBytes;
    }
    return kNone;
}

CRecordingEnd::Verdict CRecordingEnd::Zeros(CClusterReader& reader, std::uint64_t pos,
                                            std::uint64_t count, int streamId) {
    if (HasEnded)
        return Verdict::End;
    const std::uint64_t data = DataFrom(reader, pos + count);
    if (data == ~std::uint64_t{0})
        return Ends(pos, "zeros follow it to its chain's end");
    // The first byte that is not zero may be the 01 of a start code whose
    // 00 00 are the run's last zeros, wherever a cluster boundary cut it: the
    // look takes them in, when they were read from the disk.
    std::vector<std::uint8_t> bytes(kLookAheadBytes);
    std::uint32_t readable = 0;
    std::uint64_t resumes = data >= pos + kStartCodeZeros ? data - kStartCodeZeros : data;
    std::uint32_t got = Look(reader, resumes, bytes.data(), kLookAheadBytes, readable);
    if (readable < kStartCodeZeros) {
        resumes = data;
        got = Look(reader, resumes, bytes.data(), kLookAheadBytes, readable);
    }
    std::uint64_t at = resumes;
    // The zeros may lie inside a packet longer than the look, a picture of a
    // high rate: the data is read on to the next header, within the probe
    // limit. The looks overlap by a header, so that none is cut off.
    std::int64_t stamp = 0;
    while (got == kLookAheadBytes && readable == got && Probed < kProbeLimitBytes &&
           FindHeader(bytes.data(), readable, streamId, stamp) == readable) {
        at += got - kHeaderOverlapBytes;
        got = Look(reader, at, bytes.data(), kLookAheadBytes, readable);
    }
    return Resumes(pos, resumes, at, bytes.data(), got, readable, streamId);
}

std::size_t CRecordingEnd::VideoTailEnd(const std::uint8_t* payload, std::size_t count) {
    int row = 0; // slice_vertical_position of the last slice of the picture
    for (std::size_t at = FindStartCodePrefix(payload, count); at + 3 < count;
         at += 3 + FindStartCodePrefix(payload + at + 3, count - at - 3)) {
        const int code = payload[at + 3];
        if (code == 0x00) {
            row = 0; // a picture begins
        } else if (code <= static_cast<int>(kLastSliceStartCode & 0xFF)) {
            // 00 00 01 01..AF: a slice, its row in the start code; the slices
            // of a picture come down it row by row.
            if (code <= row)
                return at;
            row = code;
        }
    }
    return count;
}

bool CRecordingEnd::EndsAt(CClusterReader& reader, std::uint64_t end, int streamId) {
    std::vector<std::uint8_t> bytes(kLookAheadBytes);
    std::uint32_t readable = 0;
    const std::uint32_t count = Look(reader, end, bytes.data(), kLookAheadBytes, readable);
    // Zeros as far as the look goes, with more of the chain after them: the
    // data past them decides.
    const bool zerosOnly = readable > 0 && LeadingZeros(bytes.data(), readable) == readable &&
                           (readable < count || count == kLookAheadBytes);
    const Verdict verdict = zerosOnly ? Zeros(reader, end, count, streamId)
                                      : Break(end, bytes.data(), count, readable, streamId);
    if (verdict != Verdict::End)
        return false;
    reader.SetEnd(end);
    return true;
}
