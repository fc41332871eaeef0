// The survey of a recorder disk's clusters: the facts of each, the chains
// they make, and the recordings those make.
#include "survey/survey.h"

#include "drive/drive.h"
#include "platform/runlog.h"
#include "reader/reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

namespace {

constexpr std::int64_t kFollowTicks = kPtsPerSecond;      // a cluster goes on within this
constexpr std::int64_t kPairTicks = 5 * kPtsPerSecond;    // video and audio begin and end so near
constexpr std::int64_t kSpreadTicks = 10 * kPtsPerSecond; // leeway of a cluster's own span
// Ranks a pair of which one chain begins later behind every pair that begins together.
constexpr std::int64_t kLostBeginning = std::int64_t{1} << 40;
constexpr std::size_t kEndBytes = kSectorSize; // the last bytes that tell an end
constexpr std::uint16_t kNoLink = 0xFFFF;

// Whether the bytes are all zero: the first is, and each is the one after
// it, as the C library's memcmp tells many bytes a step; most of a disk's
// free clusters are zeros, and this is what a survey spends its time on.
bool AllZero(const std::uint8_t* bytes, std::size_t count) {
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

ClusterFacts::Kind KindOf(int streamId) {
    switch (StreamClass(streamId)) {
    case kClassVideo:
        return ClusterFacts::Kind::Video;
    case kClassAudio:
        return ClusterFacts::Kind::MpegAudio;
    case kClassPrivate1:
        return ClusterFacts::Kind::AC3; // as this recorder keeps AC-3
    default:
        return ClusterFacts::Kind::Other;
    }
}

// A PES packet with time stamps found in a stretch of a cluster.
struct Packet {
    std::uint64_t at = 0; // in the cluster
    PesBytes pes;
};

// Whether a packet of the stream (any stream that can be ripped when
// streamId is 0) begins at bytes[i], the rest of bytes[0, count) after it.
bool PacketAt(const std::uint8_t* bytes, std::size_t count, std::size_t i, int streamId,
              PesBytes& pes) {
    if (i + 3 >= count || (streamId != 0 ? bytes[i + 3] != streamId
                                         : KindOf(bytes[i + 3]) == ClusterFacts::Kind::Other))
        return false;
    return ReadPesBytes(bytes + i, count - i, pes);
}

// The first packet of the stream in bytes[0, count), which lie at `at` in
// the cluster.
bool FindFirstPacket(const std::uint8_t* bytes, std::size_t count, std::uint64_t at, int streamId,
                     Packet& first) {
    for (std::size_t i = FindStartCodePrefix(bytes, count); i < count;
         i += 1 + FindStartCodePrefix(bytes + i + 1, count - i - 1)) {
        if (PacketAt(bytes, count, i, streamId, first.pes)) {
            first.at = at + i;
            return true;
        }
    }
    return false;
}

// The last packet of the stream (not 0) in bytes[0, count), which lie at
// `at` in the cluster: the last one a search from the front finds, searched
// for in stretches of 4 KiB from the end back, by its start code alone. A
// packet is judged by its own bytes and those after it alone, so the last
// one of the last stretch that holds one is the last of all, and the
// stretches before it are not read.
bool FindLastPacket(const std::uint8_t* bytes, std::size_t count, std::uint64_t at, int streamId,
                    Packet& last) {
    constexpr std::size_t kStretch = 4096;
    const auto id = static_cast<std::uint8_t>(streamId);
    // Packets that begin before `end` are left to look for: at i where i + 3 < count.
    std::size_t end = count > 3 ? count - 3 : 0;
    // No start code begins at i where bytes[i + 2] is zero: where the data
    // ends in zeros, they are passed a stretch a step.
    while (end >= kStretch && AllZero(bytes + end - kStretch + 2, kStretch))
        end -= kStretch;
    while (end > 0) {
        // The start codes that begin in [from, end) lie in bytes[from, end + 3).
        const std::size_t from = end > kStretch ? end - kStretch : 0;
        bool found = false;
        for (std::size_t i = from + FindStartCode(bytes + from, end + 3 - from, id); i < end;
             i += 1 + FindStartCode(bytes + i + 1, end + 2 - i, id)) {
            if (PacketAt(bytes, count, i, streamId, last.pes)) {
                last.at = at + i;
                found = true;
            }
        }
        if (found)
            return true;
        end = from;
    }
    return false;
}

} // namespace

const char* KindName(ClusterFacts::Kind kind) {
    switch (kind) {
    case ClusterFacts::Kind::Video:
        return "video";
    case ClusterFacts::Kind::MpegAudio:
        return "MPEG audio";
    case ClusterFacts::Kind::AC3:
        return "AC-3";
    case ClusterFacts::Kind::Empty:
        return "empty";
    default:
        return "other";
    }
}

ClusterFacts ReadClusterFacts(int cluster, const std::uint8_t* head, std::size_t headBytes,
                              const std::uint8_t* tail, std::size_t tailBytes) {
    ClusterFacts f;
    f.cluster = cluster;
    const std::uint64_t tailAt = kClusterBytes - tailBytes;
    if (AllZero(head, headBytes) && AllZero(tail, tailBytes)) {
        f.endSeen = true;
        return f;
    }
    // The first packet of a stream in the head (in the tail where the head
    // holds none), and the last one of that stream there: the first at least.
    Packet first, headLast, last;
    const bool inHead = FindFirstPacket(head, headBytes, 0, 0, first);
    if (!inHead && !FindFirstPacket(tail, tailBytes, tailAt, 0, first)) {
        f.kind = ClusterFacts::Kind::Other;
        f.runsToEnd = tailBytes > 0 && !AllZero(tail + tailBytes - std::min(tailBytes, kEndBytes),
                                                std::min(tailBytes, kEndBytes));
        return f;
    }
    f.streamId = first.pes.streamId;
    f.kind = KindOf(f.streamId);
    headLast = first;
    if (inHead)
        FindLastPacket(head, headBytes, 0, f.streamId, headLast);
    else
        FindLastPacket(tail, tailBytes, tailAt, f.streamId, headLast);
    f.firstAt = first.at;
    const std::size_t lead = static_cast<std::size_t>(std::min<std::uint64_t>(first.at, headBytes));
    f.beginsInPacket = lead > 0 && !AllZero(head, lead);
    f.beginsInZeros = lead > 0 && !f.beginsInPacket;
    f.firstStamp = first.pes.Stamp();
    const bool inTail =
        FindLastPacket(tail, tailBytes, tailAt, f.streamId, last) && last.at >= headLast.at;
    if (!inTail)
        last = headLast;
    f.lastAt = last.at;
    f.lastStamp = last.pes.Stamp();

    // Where the data ends: a packet with a length tells it; one without, or
    // a header cut off by the cluster's end, only that bytes go on to it.
    const bool lastBytesZero =
        tailBytes == 0 ||
        AllZero(tail + tailBytes - std::min(tailBytes, kEndBytes), std::min(tailBytes, kEndBytes));
    if (last.pes.packetLength > 0) {
        const std::uint64_t end = last.at + 6 + last.pes.packetLength;
        if (end >= kClusterBytes) {
            f.runsToEnd = true;
            f.spill = static_cast<std::int64_t>(end - kClusterBytes);
        } else {
            // A header of the stream cut off at the cluster's end goes on in
            // the next one, past where its first whole header lies. It is
            // looked for in the tail only: a packet that ends before the
            // tail has no byte there to point at.
            const std::size_t rest = static_cast<std::size_t>(kClusterBytes - end);
            const std::uint8_t prefix[4] = {0, 0, 1, static_cast<std::uint8_t>(f.streamId)};
            if (end >= tailAt && rest < 19) {
                const std::uint8_t* p = tail + (end - tailAt);
                f.runsToEnd = std::equal(p, p + std::min<std::size_t>(rest, 4), prefix);
            }
        }
    } else {
        f.runsToEnd = !lastBytesZero;
    }
    // Where the data ends between the stretches looked at, its end was not
    // seen: only that it lies past the head.
    const bool headEndsInZeros =
        AllZero(head + headBytes - std::min(headBytes, kEndBytes), std::min(headBytes, kEndBytes));
    f.endSeen = !f.runsToEnd && (inTail || headEndsInZeros);

    // One recording from head to tail: the last stamp as far on from the
    // first as the bytes between hold at the rate the head shows.
    const std::int64_t span = StampDifference(f.lastStamp, f.firstStamp);
    const std::int64_t headSpan = StampDifference(headLast.pes.Stamp(), f.firstStamp);
    double holds = static_cast<double>(std::abs(span));
    if (headLast.at > first.at && headSpan > 0)
        holds = static_cast<double>(last.at - first.at) * static_cast<double>(headSpan) /
                static_cast<double>(headLast.at - first.at);
    f.oneRecording = span >= 0 && static_cast<double>(span) <= holds * 1.5 + kSpreadTicks;
    return f;
}

namespace {

// How many ticks `bytes` more of the cluster's stream hold, at the rate its
// first and last packets show, with room to spare (0 when no rate was seen).
std::int64_t Holds(const ClusterFacts& f, std::uint64_t bytes) {
    const std::int64_t span = StampDifference(f.lastStamp, f.firstStamp);
    if (f.lastAt <= f.firstAt || span <= 0)
        return 0;
    return static_cast<std::int64_t>(1.5 * static_cast<double>(bytes) * static_cast<double>(span) /
                                     static_cast<double>(f.lastAt - f.firstAt));
}

} // namespace

bool Follows(const ClusterFacts& prev, const ClusterFacts& next, bool tableLinks) {
    if (!prev.oneRecording || prev.lastStamp < 0 || next.firstStamp < 0 || next.kind != prev.kind ||
        next.streamId != prev.streamId || next.cluster == prev.cluster)
        return false;
    const std::int64_t step = StampDifference(next.firstStamp, prev.lastStamp);
    // The bytes from prev's last packet to next's first: a long packet cut
    // by the boundary can hold more than a fraction of a second.
    const std::int64_t between = Holds(prev, kClusterBytes - prev.lastAt + next.firstAt);
    if (prev.runsToEnd) {
        if (prev.spill >= 0 && next.firstAt != static_cast<std::uint64_t>(prev.spill))
            return false;
        return step > 0 && step <= kFollowTicks + (prev.spill >= 0 ? 0 : between);
    }
    // Zeros end prev's data. A new recording begins with a packet of its
    // own; one that goes on across the zeros begins inside a packet, or with
    // the rest of the zeros where the cluster boundary cut the run, or the
    // cluster table says so.
    if (!next.beginsInPacket && !next.beginsInZeros && !tableLinks)
        return false;
    return step > 0 && step <= kFollowTicks + between;
}

std::vector<SurveyChain> LinkChains(const std::vector<ClusterFacts>& facts,
                                    const std::function<std::uint16_t(int)>& tableNext,
                                    std::ostream& log) {
    // Every link the data allows, the cluster table's first, then the
    // nearest in time; each cluster goes on to one and from one.
    std::vector<std::tuple<bool, std::int64_t, int, int>> links; // not the table's, step, from, to
    for (const ClusterFacts& prev : facts) {
        for (const ClusterFacts& next : facts) {
            if (Follows(prev, next, tableNext(prev.cluster) == next.cluster))
                links.emplace_back(tableNext(prev.cluster) != next.cluster,
                                   StampDifference(next.firstStamp, prev.lastStamp), prev.cluster,
                                   next.cluster);
        }
    }
    std::sort(links.begin(), links.end());
    std::map<int, int> nextOf, prevOf;
    for (const auto& [notTable, step, from, to] : links) {
        if (nextOf.count(from) == 0 && prevOf.count(to) == 0) {
            nextOf[from] = to;
            prevOf[to] = from;
        }
    }
    std::vector<SurveyChain> chains;
    for (const ClusterFacts& f : facts) {
        if (f.kind == ClusterFacts::Kind::Empty || f.kind == ClusterFacts::Kind::Other ||
            prevOf.count(f.cluster) != 0)
            continue;
        SurveyChain chain;
        chain.kind = f.kind;
        chain.streamId = f.streamId;
        chain.firstStamp = f.firstStamp;
        chain.beginsInPacket = f.beginsInPacket;
        for (int c = f.cluster;;) {
            chain.clusters.push_back(c);
            const ClusterFacts& here = facts[static_cast<std::size_t>(c - 1)];
            chain.lastStamp = here.lastStamp;
            chain.endSeen = here.endSeen;
            const std::int64_t holds = Holds(here, kClusterBytes - here.lastAt);
            chain.reach = here.endSeen ? here.lastStamp
                          : holds > 0  ? here.lastStamp + holds + kFollowTicks
                                       : -1;
            const auto next = nextOf.find(c);
            const std::uint16_t table = tableNext(c);
            if (table != kNoLink && table >= 1 && table < kClusterTableEntries &&
                (next == nextOf.end() || next->second != table))
                log << "cluster " << c << ": the cluster table goes on with " << table
                    << ", the data "
                    << (next == nextOf.end() ? std::string("ends here")
                                             : "with " + std::to_string(next->second))
                    << ": the data decides" << std::endl;
            if (next == nextOf.end() || chain.clusters.size() > facts.size())
                break;
            c = next->second;
        }
        chains.push_back(chain);
    }
    return chains;
}

namespace {

// How far apart a video chain and an audio chain are in time, from both
// ends where both were seen; -1 when they are not a pair. Chains that begin
// together come before those of which one begins later, its beginning lost,
// inside the other's span.
std::int64_t Apart(const SurveyChain& video, const SurveyChain& audio) {
    const std::int64_t begin = StampDifference(audio.firstStamp, video.firstStamp);
    const bool ends = video.endSeen && audio.endSeen;
    const std::int64_t end = ends ? std::abs(StampDifference(audio.lastStamp, video.lastStamp)) : 0;
    if (end > kPairTicks)
        return -1;
    if (std::abs(begin) <= kPairTicks)
        return std::abs(begin) + end;
    const SurveyChain& earlier = begin > 0 ? video : audio;
    const SurveyChain& later = begin > 0 ? audio : video;
    if (earlier.reach >= 0 && StampDifference(later.firstStamp, earlier.reach) > kPairTicks)
        return -1;
    return kLostBeginning + (ends ? end : std::abs(begin));
}

bool IsAudio(const SurveyChain& chain) {
    return chain.kind == ClusterFacts::Kind::MpegAudio || chain.kind == ClusterFacts::Kind::AC3;
}

} // namespace

std::vector<SurveyRecording> PairChains(const std::vector<SurveyChain>& chains,
                                        const std::vector<FoundHeader>& headers) {
    std::vector<int> audioOf(chains.size(), -1), headerOf(chains.size(), -1);
    std::vector<bool> taken(chains.size(), false);
    auto startingAt = [&](std::int32_t cluster, bool audio) {
        for (std::size_t i = 0; i < chains.size(); ++i) {
            if (!taken[i] && IsAudio(chains[i]) == audio &&
                chains[i].kind != ClusterFacts::Kind::Empty && chains[i].clusters[0] == cluster)
                return static_cast<int>(i);
        }
        return -1;
    };
    // A header that can be read gives the pair.
    for (std::size_t h = 0; h < headers.size(); ++h) {
        const int v = startingAt(headers[h].firstVideo, false);
        const int a = startingAt(headers[h].firstAudio, true);
        if (v < 0 || a < 0 || chains[static_cast<std::size_t>(v)].kind != ClusterFacts::Kind::Video)
            continue;
        audioOf[static_cast<std::size_t>(v)] = a;
        headerOf[static_cast<std::size_t>(v)] = static_cast<int>(h);
        taken[static_cast<std::size_t>(v)] = taken[static_cast<std::size_t>(a)] = true;
    }
    // Then the nearest in time, both ends looked at.
    std::vector<std::tuple<std::int64_t, std::size_t, std::size_t>> pairs;
    for (std::size_t v = 0; v < chains.size(); ++v) {
        for (std::size_t a = 0; a < chains.size(); ++a) {
            if (chains[v].kind != ClusterFacts::Kind::Video || !IsAudio(chains[a]) || taken[v] ||
                taken[a])
                continue;
            const std::int64_t apart = Apart(chains[v], chains[a]);
            if (apart >= 0)
                pairs.emplace_back(apart, v, a);
        }
    }
    std::sort(pairs.begin(), pairs.end());
    for (const auto& [apart, v, a] : pairs) {
        if (!taken[v] && !taken[a]) {
            audioOf[v] = static_cast<int>(a);
            taken[v] = taken[a] = true;
        }
    }
    std::vector<SurveyRecording> recordings;
    for (std::size_t v = 0; v < chains.size(); ++v) {
        if (chains[v].kind != ClusterFacts::Kind::Video)
            continue;
        SurveyRecording r;
        r.video = chains[v];
        if (audioOf[v] >= 0)
            r.audio = chains[static_cast<std::size_t>(audioOf[v])];
        r.header = headerOf[v];
        r.beginLost =
            r.video.beginsInPacket || r.audio.beginsInPacket ||
            (!r.audio.clusters.empty() &&
             std::abs(StampDifference(r.audio.firstStamp, r.video.firstStamp)) > kPairTicks);
        recordings.push_back(r);
    }
    std::sort(recordings.begin(), recordings.end(),
              [](const SurveyRecording& a, const SurveyRecording& b) {
                  return a.video.clusters[0] < b.video.clusters[0];
              });
    return recordings;
}

namespace {

// The head's and the tail's buffer, one after the other, kept from one
// survey to the next (the program surveys one drive at a time): read into as
// they are, so that a survey of a small image, in the tests and the fuzz
// runs, costs no fresh pages of memory.
std::uint8_t* EdgeBuffers() {
    static const std::unique_ptr<std::uint8_t[]> buffers(new std::uint8_t[2 * kSurveyEdgeBytes]);
    return buffers.get();
}

void LogFacts(std::ostream& log, const ClusterFacts& f) {
    log << std::fixed << "cluster " << f.cluster << ": " << KindName(f.kind);
    if (f.streamId != 0)
        log << std::hex << " " << f.streamId << std::dec << ", first PTS "
            << static_cast<double>(f.firstStamp) << " at byte " << f.firstAt << ", last PTS "
            << static_cast<double>(f.lastStamp) << " at byte " << f.lastAt;
    if (f.kind != ClusterFacts::Kind::Empty)
        log << (f.runsToEnd ? ", runs to its end" : ", ends in it");
    if (f.spill >= 0)
        log << ", its last packet goes on for " << f.spill << " bytes";
    if (f.beginsInZeros)
        log << ", zeros before its first packet";
    if (!f.oneRecording)
        log << ", its end is not its beginning's recording";
    if (f.unreadable)
        log << ", not all of it could be read";
    log << std::endl;
}

void LogChain(std::ostream& log, const char* what, const SurveyChain& chain) {
    log << what << " " << KindName(chain.kind) << std::hex << " " << chain.streamId << ":";
    for (const std::int32_t c : chain.clusters)
        log << " " << c;
    log << std::dec << std::fixed << " (PTS " << static_cast<double>(chain.firstStamp) << " to "
        << static_cast<double>(chain.lastStamp) << (chain.endSeen ? "" : " or later") << ")"
        << std::endl;
}

bool CoversTime(const SurveyChain& chain, std::int64_t from, std::int64_t to) {
    return StampDifference(from, chain.firstStamp) >= 0 &&
           StampDifference(chain.lastStamp, to) >= 0;
}

// Chains that the data could not link, as where a run of zeros ends exactly
// at a cluster boundary and the next cluster begins with its own packet: the
// later one goes on from the earlier when its first time stamp follows the
// other's last at once, no header begins a recording with it, and the other
// stream of the recording goes on across the time.
std::vector<SurveyChain> JoinAcrossZeros(std::vector<SurveyChain> chains,
                                         const std::vector<ClusterFacts>& facts,
                                         const std::vector<FoundHeader>& headers,
                                         std::ostream& log) {
    auto factsOf = [&facts](std::int32_t cluster) -> const ClusterFacts& {
        return facts[static_cast<std::size_t>(cluster - 1)];
    };
    auto named = [&headers](std::int32_t cluster) {
        return std::any_of(headers.begin(), headers.end(), [cluster](const FoundHeader& h) {
            return h.firstVideo == cluster || h.firstAudio == cluster;
        });
    };
    for (std::size_t i = 0; i < chains.size(); ++i) {
        for (std::size_t j = 0; j < chains.size(); ++j) {
            SurveyChain& first = chains[i];
            const SurveyChain& then = chains[j];
            if (i == j || first.clusters.empty() || then.clusters.empty() ||
                then.streamId != first.streamId || then.kind != first.kind)
                continue;
            const ClusterFacts& last = factsOf(first.clusters.back());
            const ClusterFacts& next = factsOf(then.clusters[0]);
            const std::int64_t step = StampDifference(then.firstStamp, first.lastStamp);
            if (last.runsToEnd || next.firstAt != 0 || step <= 0 || step > kFollowTicks ||
                named(then.clusters[0]))
                continue;
            // The other stream goes on across the time, a second past it at
            // least: two recordings back to back have their own.
            const bool otherCovers =
                std::any_of(chains.begin(), chains.end(), [&](const SurveyChain& other) {
                    return IsAudio(other) != IsAudio(first) &&
                           CoversTime(other, first.lastStamp, then.firstStamp + kFollowTicks);
                });
            if (!otherCovers)
                continue;
            log << "cluster " << then.clusters[0] << " goes on from cluster "
                << first.clusters.back()
                << " across the zeros that end it: the other stream goes on across the time"
                << std::endl;
            first.clusters.insert(first.clusters.end(), then.clusters.begin(), then.clusters.end());
            first.lastStamp = then.lastStamp;
            first.endSeen = then.endSeen;
            first.reach = then.reach;
            chains.erase(chains.begin() + static_cast<std::ptrdiff_t>(j));
            return JoinAcrossZeros(std::move(chains), facts, headers, log);
        }
    }
    return chains;
}

} // namespace

SurveyResult SurveyDrive(CDriveSession& drive, const std::vector<FoundHeader>& headers,
                         const std::function<std::uint16_t(int)>& tableNext,
                         CSurveyProgress& progress) {
    std::ostream& log = *g_Log;
    SurveyResult result;
    std::uint64_t size = 0;
    if (!drive.Size(size))
        return result;
    const std::uint64_t dataStart = std::uint64_t{kDataStartSector} * kSectorSize;
    const std::uint64_t spanned = size > dataStart ? size - dataStart : 0;
    const int all = static_cast<int>(std::min<std::uint64_t>(
        (spanned + kClusterBytes - 1) / kClusterBytes, kClusterTableEntries - 1));
    log << "survey of " << all << " clusters" << std::endl;
    std::uint8_t* const head = EdgeBuffers();
    std::uint8_t* const tail = head + kSurveyEdgeBytes;
    for (int cluster = 1; cluster <= all; ++cluster) {
        const std::uint64_t start =
            static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize;
        std::uint32_t headGot = 0, tailGot = 0;
        bool readable = ReadDrive(drive, start, head, kSurveyEdgeBytes, headGot);
        readable = ReadDrive(drive, start + kClusterBytes - kSurveyEdgeBytes, tail,
                             kSurveyEdgeBytes, tailGot) &&
                   readable;
        // A tail the drive ends in is looked at whole, the rest of it zeros;
        // one that lies wholly beyond the end is not looked at.
        if (tailGot > 0)
            std::memset(tail + tailGot, 0, kSurveyEdgeBytes - tailGot);
        result.bytesRead += headGot + tailGot;
        // What lies beyond the end of the drive is no data: zeros.
        ClusterFacts f =
            ReadClusterFacts(cluster, head, headGot, tail, tailGot > 0 ? kSurveyEdgeBytes : 0);
        f.unreadable = !readable;
        LogFacts(log, f);
        result.facts.push_back(f);
        progress.Update(cluster, all, result.bytesRead);
    }
    log << "the survey read " << result.bytesRead << " bytes of the drive" << std::endl;
    result.chains =
        JoinAcrossZeros(LinkChains(result.facts, tableNext, log), result.facts, headers, log);
    for (const SurveyChain& chain : result.chains)
        LogChain(log, "chain", chain);
    result.recordings = PairChains(result.chains, headers);
    for (const SurveyRecording& r : result.recordings) {
        LogChain(log, "recording:", r.video);
        if (!r.audio.clusters.empty())
            LogChain(log, "  with", r.audio);
    }
    return result;
}

FoundHeaders ReadFoundHeaders(CDriveSession& drive) {
    constexpr std::uint32_t kSectors = kDataStartSector - kFirstHeaderSector;
    std::vector<std::uint8_t> sectors(std::size_t{kSectors} * kSectorSize);
    std::uint32_t got = 0;
    ReadDrive(drive, std::uint64_t{kFirstHeaderSector} * kSectorSize, sectors.data(),
              static_cast<std::uint32_t>(sectors.size()), got);
    FoundHeaders headers;
    for (std::uint32_t i = 0; i < kSectors; ++i) {
        headers.files.push_back(
            std::make_unique<CPVRFile>(drive, static_cast<int>(i), &sectors[i * kSectorSize]));
        const CPVRFile& file = *headers.files.back();
        const auto inRange = [](int c) { return c >= 1 && c < int{kClusterTableEntries}; };
        if (inRange(file.FirstVCluster()) && inRange(file.FirstACluster()) &&
            file.FirstVCluster() != file.FirstACluster())
            headers.found.push_back({static_cast<int>(kFirstHeaderSector + i), file.FirstVCluster(),
                                     file.FirstACluster()});
    }
    return headers;
}
