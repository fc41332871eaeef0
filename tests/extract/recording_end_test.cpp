// The rule that tells where a recording ends from its data, fed the facts a
// ripper meets: packets with their time stamps, and what lies past a packet
// that no packet follows.
#include "extract/extract.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <gtest/gtest.h>

namespace {

using Verdict = CRecordingEnd::Verdict;
constexpr int64_t kPacketTicks = 10800; // five Layer II frames
constexpr uint64_t kPacketBytes = 2894;
constexpr int64_t kSecond = kTimestampClock, kHour = 3600 * kSecond;

// `seconds` of packets from stamp `first` on, one after the other; the
// verdict of the last.
Verdict Steady(CRecordingEnd& rule, int64_t first, double seconds, uint64_t& pos) {
    Verdict v = Verdict::GoOn;
    for (int64_t t = 0; t <= static_cast<int64_t>(seconds * kSecond); t += kPacketTicks) {
        v = rule.Packet(pos, (first + t) & (kTimestampWrap - 1));
        pos += kPacketBytes;
    }
    return v;
}

// A PES header of stream 0xC0 carrying a PTS.
std::vector<uint8_t> Header(int64_t pts) {
    std::vector<uint8_t> h = {0, 0, 1, 0xC0, 0x0B, 0x48, 0x80, 0x80, 5, 0x21, 0, 0, 0, 0};
    WritePesTimestamp(&h[9], pts);
    return h;
}

} // namespace

// A jump in a packet that follows the one before at once is a clock jump
// inside the recording while the recording has not yet lasted as long as its
// other chain, or without one its header, says; after that it is an older
// recording's data. A wrap of the counter is no jump.
TEST(RecordingEnd, AJumpOfTheClockInsideTheRecordingOrTheStartOfOlderData) {
    const struct {
        const char* name;
        int64_t length;     // the header's, 0: none
        double other;       // how long the other chain lasted, 0: none
        double otherJumpAt; // where the other chain's clock jumped by the same, 0: no jump
        double at;          // when this chain's clock jumps
        int64_t by;
        Verdict verdict;
    } cases[] = {
        {"no header length, no other chain", 0, 0, 0, 17, kHour, Verdict::Jump},
        {"well before the header's length", 18 * kSecond, 0, 0, 9, -kHour, Verdict::Jump},
        {"at the header's length", 18 * kSecond, 0, 0, 17, -kHour, Verdict::End},
        {"past a header length that was wrong", 10 * kSecond, 0, 0, 17, 2 * kSecond, Verdict::End},
        {"well before the other chain's end", 18 * kSecond, 30, 0, 20, kHour, Verdict::Jump},
        {"at the other chain's end", 0, 18, 0, 17.5, kHour, Verdict::End},
        {"as the other chain jumped, near its end", 0, 18, 17, 17, -10 * 60 * kSecond,
         Verdict::Jump},
        {"a wrap of the counter", 18 * kSecond, 0, 0, 17, 0, Verdict::GoOn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        harness::Capture capture;
        const int64_t first = kTimestampWrap - static_cast<int64_t>(c.at * kSecond) - 1000;
        CRecordingEnd other;
        uint64_t pos = 0;
        if (c.other > 0) {
            if (c.otherJumpAt > 0) {
                Steady(other, first, c.otherJumpAt, pos);
                const int64_t after =
                    first + static_cast<int64_t>(c.otherJumpAt * kSecond) + kPacketTicks + c.by;
                ASSERT_EQ(other.Packet(pos, after & (kTimestampWrap - 1)), Verdict::Jump);
                pos += kPacketBytes;
                Steady(other, after, c.other - c.otherJumpAt, pos);
            } else {
                Steady(other, first, c.other, pos);
            }
        }
        CRecordingEnd rule(c.length);
        rule.FollowOther(other);
        pos = 0;
        ASSERT_EQ(Steady(rule, first, c.at, pos), Verdict::GoOn);
        const int64_t next = first + static_cast<int64_t>(c.at * kSecond) + kPacketTicks + c.by;
        EXPECT_EQ(rule.Packet(pos, next & (kTimestampWrap - 1)), c.verdict);
        EXPECT_EQ(rule.Ended(), c.verdict == Verdict::End);
    }
}

// Past a packet that no packet follows at once: zeros to the chain's end,
// nothing, or a packet whose time stamps do not go on end the recording; a
// packet that goes on, lost bytes or zeros between, or a sector that could
// not be read do not.
TEST(RecordingEnd, WhatLiesPastAPacketThatNoPacketFollows) {
    const int64_t first = 126000;
    const int64_t last = first + 10 * kSecond; // the stamp of the last packet
    auto with = [](std::vector<uint8_t> bytes, size_t at, const std::vector<uint8_t>& h) {
        std::copy(h.begin(), h.end(), bytes.begin() + static_cast<long>(at));
        return bytes;
    };
    const std::vector<uint8_t> noise(40000, 0x5A);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t readable; // of them; ~0: all
        Verdict verdict;
    } cases[] = {
        {"the chain ends", {}, ~0u, Verdict::End},
        {"zeros to the chain's end", std::vector<uint8_t>(100), ~0u, Verdict::End},
        {"a run of zeros to the chain's end", std::vector<uint8_t>(CRecordingEnd::kZeroRunBytes),
         ~0u, Verdict::End},
        {"zeros, then a packet that goes on",
         with(std::vector<uint8_t>(20000), 19000, Header(last + 2 * kPacketTicks)), ~0u,
         Verdict::GoOn},
        {"a packet that goes on after lost bytes",
         with(noise, 30000, Header(last + 12 * kPacketTicks)), ~0u, Verdict::GoOn},
        {"an older recording's packet", with(noise, 1500, Header(last - kHour)), ~0u, Verdict::End},
        {"a packet hours later", with(noise, 1500, Header(last + 3 * kHour)), ~0u, Verdict::End},
        {"no packet of the stream", noise, ~0u, Verdict::End},
        {"an unreadable sector at once", std::vector<uint8_t>(100000), 0, Verdict::GoOn},
        {"an unreadable sector before anything is told", noise, 20000, Verdict::GoOn},
        {"zeros, then an unreadable sector", std::vector<uint8_t>(100000), 40000, Verdict::GoOn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        harness::Capture capture;
        CRecordingEnd rule;
        uint64_t pos = 0;
        Steady(rule, first, 10, pos);
        const auto count = static_cast<uint32_t>(c.bytes.size());
        EXPECT_EQ(rule.Break(pos, c.bytes.data(), count, std::min(c.readable, count), 0xC0),
                  c.verdict);
    }
}

// Of the video that ends a recording, the older data's slices are not taken:
// the cut comes at the first slice that does not go down the picture.
TEST(RecordingEnd, TheVideoTailEndsAtTheFirstSliceThatDoesNotGoOn) {
    const std::vector<uint8_t> tail = {0, 0, 1, 0,    9, 9, 0, 0, 1, 1, 7, 0, 0, 1, 2, 7,
                                       0, 0, 1, 0x12, 7, 7, 0, 0, 1, 3, 7, 0, 0, 1, 4};
    EXPECT_EQ(CRecordingEnd::VideoTailEnd(tail.data(), tail.size()), 22u);
    EXPECT_EQ(CRecordingEnd::VideoTailEnd(tail.data(), 22), 22u);
}
