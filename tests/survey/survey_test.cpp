// The survey's rules fed their facts directly: which cluster goes on from
// which, and which audio chain goes with which video chain.
#include "survey/survey.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kSecond = kPtsPerSecond;

ClusterFacts Facts(int cluster, std::int64_t first, std::int64_t last, std::int64_t spill) {
    ClusterFacts f;
    f.cluster = cluster;
    f.kind = ClusterFacts::Kind::MpegAudio;
    f.streamId = 0xC0;
    f.firstStamp = first;
    f.lastStamp = last;
    f.firstAt = 100;
    f.runsToEnd = true;
    f.spill = spill;
    return f;
}

SurveyChain Chain(ClusterFacts::Kind kind, int first, std::int64_t begin, std::int64_t end,
                  bool endSeen) {
    SurveyChain c;
    c.kind = kind;
    c.streamId = kind == ClusterFacts::Kind::Video ? 0xE0 : 0xC0;
    c.clusters = {first};
    c.firstStamp = begin;
    c.lastStamp = end;
    c.endSeen = endSeen;
    return c;
}

} // namespace

// A cluster goes on from another only when the other runs to its end, holds
// one recording, the packet cut there goes on at this one's beginning, and
// the time stamps follow a fraction of a second later, wraps included.
TEST(SurveyRules, AClusterGoesOnFromAnother) {
    const ClusterFacts prev = Facts(3, 0, 60 * kSecond, 100);
    const auto with = [&](auto change) {
        ClusterFacts next = Facts(8, 60 * kSecond + 10800, 120 * kSecond, 5);
        change(next);
        return next;
    };
    EXPECT_TRUE(Follows(prev, with([](ClusterFacts&) {})));
    EXPECT_FALSE(Follows(prev, with([](ClusterFacts& n) { n.firstAt = 99; })));
    EXPECT_FALSE(Follows(prev, with([](ClusterFacts& n) { n.firstStamp += 2 * kSecond; })));
    EXPECT_FALSE(Follows(prev, with([](ClusterFacts& n) { n.firstStamp -= 2 * 10800; })));
    EXPECT_FALSE(Follows(prev, with([](ClusterFacts& n) { n.streamId = 0xC1; })));
    ClusterFacts ended = prev, mixed = prev;
    ended.runsToEnd = false;
    mixed.oneRecording = false;
    EXPECT_FALSE(Follows(mixed, with([](ClusterFacts&) {})));
    // Zeros end prev's data, half way through it: what follows them goes on
    // inside a packet, or the cluster table links the two; the bytes between
    // hold as much again.
    ended.lastAt = kClusterBytes / 2;
    const auto across = [&](std::int64_t step, bool inPacket) {
        ClusterFacts next = with([](ClusterFacts&) {});
        next.firstStamp = ended.lastStamp + step;
        next.beginsInPacket = inPacket;
        return next;
    };
    EXPECT_TRUE(Follows(ended, across(50 * kSecond, true)));
    EXPECT_FALSE(Follows(ended, across(50 * kSecond, false)));
    EXPECT_TRUE(Follows(ended, across(50 * kSecond, false), true));
    EXPECT_FALSE(Follows(ended, across(200 * kSecond, true)));
    const ClusterFacts wrapped = Facts(3, kPtsModulus - 60 * kSecond, kPtsModulus - 5000, 100);
    EXPECT_TRUE(Follows(wrapped, Facts(8, 5800, 50 * kSecond, 5)));
}

// Two recordings whose clocks start alike go with the audio that also ends
// with them; a header gives its pair whatever the clocks say.
TEST(SurveyRules, VideoGoesWithTheAudioOfItsSpanOrOfItsHeader) {
    using Kind = ClusterFacts::Kind;
    const std::vector<SurveyChain> chains = {
        Chain(Kind::Video, 10, 0, 18 * kSecond, true),
        Chain(Kind::Video, 20, kSecond, 12 * kSecond, true),
        Chain(Kind::MpegAudio, 30, kSecond, 12 * kSecond, true),
        Chain(Kind::MpegAudio, 40, 0, 18 * kSecond, true),
        Chain(Kind::Video, 50, 0, 18 * kSecond, true),
        Chain(Kind::MpegAudio, 60, 3600 * kSecond, 3618 * kSecond, true),
    };
    const std::vector<SurveyRecording> found = PairChains(chains, {{15, 50, 60}});
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].audio.clusters, std::vector<std::int32_t>{40});
    EXPECT_EQ(found[1].audio.clusters, std::vector<std::int32_t>{30});
    EXPECT_EQ(found[2].audio.clusters, std::vector<std::int32_t>{60});
    EXPECT_EQ(found[2].header, 0);

    // A video chain whose beginning was lost goes with the audio that covers
    // it from before and ends with it, not with the one of the same clock
    // that ends elsewhere; so does an audio chain whose beginning was lost.
    const std::vector<SurveyChain> lost = {
        Chain(Kind::Video, 10, 500 * kSecond, 900 * kSecond, true),
        Chain(Kind::MpegAudio, 20, 0, 600 * kSecond, true),
        Chain(Kind::MpegAudio, 30, 0, 900 * kSecond, true),
        Chain(Kind::Video, 40, 0, 600 * kSecond, true),
        Chain(Kind::Video, 50, 7200 * kSecond, 7400 * kSecond, false),
        Chain(Kind::MpegAudio, 60, 7300 * kSecond, 7310 * kSecond, false),
    };
    const std::vector<SurveyRecording> paired = PairChains(lost, {});
    ASSERT_EQ(paired.size(), 3u);
    EXPECT_EQ(paired[0].audio.clusters, std::vector<std::int32_t>{30});
    EXPECT_EQ(paired[1].audio.clusters, std::vector<std::int32_t>{20});
    EXPECT_EQ(paired[2].audio.clusters, std::vector<std::int32_t>{60});
    EXPECT_TRUE(paired[0].beginLost);
    EXPECT_FALSE(paired[1].beginLost);
    EXPECT_TRUE(paired[2].beginLost);
}
