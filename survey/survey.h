// The survey of a recorder disk: what each cluster holds, read from a little
// of its beginning and of its end whatever the cluster table says, and what
// follows from that: which clusters make one stream's chain, and which video
// and audio chains make one recording, with the header that names it where
// one was found. The facts each cluster showed are kept apart from what was
// concluded from them, so that the log can say why. The survey knows PES
// packets and time stamps, nothing of program streams or files. This header
// is what the other subsystems may use of it.
#pragma once

#include "drive/drive.h"
#include "platform/format.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Bytes looked at, at each end of a cluster.
constexpr std::uint32_t kSurveyEdgeBytes =
    kClusterBytes / 2 < (1u << 20) ? static_cast<std::uint32_t>(kClusterBytes / 2) : (1u << 20);

// What one cluster holds, as its first and last bytes show it.
struct ClusterFacts {
    enum class Kind { Empty, Video, MpegAudio, AC3, Other };
    int cluster = 0;
    Kind kind = Kind::Empty;
    int streamId = 0;
    bool unreadable = false; // some of the bytes looked at could not be read
    // The first packet of the stream in the head, and the last one seen (in
    // the tail, or in the head when the tail holds none): where each begins
    // in the cluster, and its decode time stamp.
    std::uint64_t firstAt = 0, lastAt = 0;
    std::int64_t firstStamp = -1, lastStamp = -1;
    // The last stamp goes on from the first as the bytes between can hold:
    // one recording from the head to the tail.
    bool oneRecording = true;
    bool runsToEnd = false; // the data runs to the cluster's last byte
    // Bytes of the packet cut at the cluster's end that lie in the next
    // cluster; -1 when the packet does not tell (no length: video).
    std::int64_t spill = -1;
    bool endSeen = false; // the data ends within the bytes looked at
    // The cluster begins inside a packet: bytes that are not zeros come
    // before its first packet header, the rest of a packet begun elsewhere.
    bool beginsInPacket = false;
    // Zeros come before its first packet header: a run of zeros that the
    // cluster boundary cut may go on in it.
    bool beginsInZeros = false;
};

// The facts of a cluster from its first headBytes and its last tailBytes.
ClusterFacts ReadClusterFacts(int cluster, const std::uint8_t* head, std::size_t headBytes,
                              const std::uint8_t* tail, std::size_t tailBytes);

// Whether cluster `next` goes on from `prev`: prev's data runs to its last
// byte, next holds the same stream, the packet cut at prev's end goes on at
// next's beginning (its bytes fit), and next's first time stamp follows
// prev's last a fraction of a second later (wraps included). Zeros that end
// prev's data are no end by themselves: next goes on from it across them
// when it begins inside a packet or with zeros (the run that the cluster
// boundary cut goes on there), or the cluster table links the two
// (tableLinks), and its first time stamp follows within what the bytes
// between can hold.
bool Follows(const ClusterFacts& prev, const ClusterFacts& next, bool tableLinks = false);

// One stream's chain of clusters, as the data links them.
struct SurveyChain {
    ClusterFacts::Kind kind = ClusterFacts::Kind::Empty;
    int streamId = 0;
    std::vector<std::int32_t> clusters;
    std::int64_t firstStamp = -1, lastStamp = -1;
    bool endSeen = false; // lastStamp is where the recording ends
    // Where the recording's end was not seen, the latest stamp its last
    // cluster can hold at the rate seen (-1: no rate seen); else lastStamp.
    std::int64_t reach = -1;
    bool beginsInPacket = false; // its first cluster begins inside a packet
};

// The chains from the facts of every cluster. tableNext gives the cluster
// table's link of a cluster (0xFFFF: none, or no table): where it agrees
// with the data it decides between clusters that go on alike; where it does
// not, the data decides, and the log says so.
std::vector<SurveyChain> LinkChains(const std::vector<ClusterFacts>& facts,
                                    const std::function<std::uint16_t(int)>& tableNext,
                                    std::ostream& log);

// A recording header found in the header sectors: where, and its chains'
// first clusters.
struct FoundHeader {
    int sector = 0;
    std::int32_t firstVideo = 0, firstAudio = 0;
};

// Every header sector of the drive, read whether the table of contents
// counts it or not: the recordings by slot (a sector that cannot be read is
// a header of zeros), and those that name two chains.
struct FoundHeaders {
    std::vector<std::unique_ptr<CPVRFile>> files; // by sector - first header sector
    std::vector<FoundHeader> found;
};
FoundHeaders ReadFoundHeaders(CDriveSession& drive);

// A recording the survey found: its video chain and the audio chain that
// covers the same span of time (none: no clusters), and the header that
// names it.
struct SurveyRecording {
    SurveyChain video, audio;
    int header = -1;        // index into the headers given, -1: none
    bool beginLost = false; // its first clusters were taken by later data
};

// Pairs each video chain with its audio chain: a header that can be read
// gives the pair; otherwise the audio chain that covers the video's span of
// time. Most often both begin within a few seconds of each other; where the
// beginning of one was lost, the other covers it from before. Where both
// ends were seen they must meet within a few seconds; otherwise the nearest
// span wins. In the order of the recordings' first video clusters.
std::vector<SurveyRecording> PairChains(const std::vector<SurveyChain>& chains,
                                        const std::vector<FoundHeader>& headers);

// Told after each cluster surveyed: how many of all, and the bytes read.
class CSurveyProgress {
  public:
    virtual ~CSurveyProgress() = default;
    virtual void Update(int done, int all, std::uint64_t bytesRead) = 0;
};

struct SurveyResult {
    std::vector<ClusterFacts> facts; // cluster k at index k - 1
    std::vector<SurveyChain> chains;
    std::vector<SurveyRecording> recordings;
    std::uint64_t bytesRead = 0;
};

// Surveys the drive's clusters from 1 up to its end (1151 at most), links
// and pairs what they hold, and logs each cluster's facts and each
// conclusion. Reads at most 2 * kSurveyEdgeBytes a cluster of the open drive;
// never writes. Nothing is found on a drive whose size cannot be told.
SurveyResult SurveyDrive(CDriveSession& drive, const std::vector<FoundHeader>& headers,
                         const std::function<std::uint16_t(int)>& tableNext,
                         CSurveyProgress& progress);

// "video", "MPEG audio", "AC-3", "empty" or "other".
const char* KindName(ClusterFacts::Kind kind);
