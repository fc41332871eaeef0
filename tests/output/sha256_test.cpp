// SHA-256: the examples of FIPS 180-4 and the file of a fixture against
// sha256sum, each fed whole and in pieces that cut its blocks everywhere.
#include "output/sha256.h"

#include "support/ffmpeg_check.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The digest of the bytes fed in pieces of `step` bytes, or of 1 to 997
// bytes in turn when step is 0.
std::string HexOf(const std::vector<std::uint8_t>& bytes, std::size_t step) {
    CSha256 hash;
    for (std::size_t at = 0, n = 1; at < bytes.size(); at += n, n = n * 7 % 997 + 1) {
        n = step ? step : n;
        hash.Update(bytes.data() + at, std::min(n, bytes.size() - at));
    }
    return CSha256::Hex(hash.Final());
}

struct Example {
    std::string message;
    const char* digest;
};

const Example kExamples[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    // 448 bits: the length no longer fits in the block the message ends in.
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

// With the processor's SHA instructions where it has them, and with the
// plain rounds.
TEST(Sha256, GivesTheDigestsOfTheStandard) {
    for (const bool instructions : {true, false}) {
        CSha256::UseShaInstructions(instructions);
        for (const Example& example : kExamples) {
            const std::vector<std::uint8_t> bytes(example.message.begin(), example.message.end());
            for (const std::size_t step : {std::size_t{0}, std::size_t{1}, std::size_t{64},
                                           std::size_t{65}, bytes.size() + 1})
                EXPECT_EQ(HexOf(bytes, step), example.digest)
                    << example.message.size() << " bytes in pieces of " << step
                    << (instructions ? "" : ", plain rounds");
        }
    }
    CSha256::UseShaInstructions(true);
    // After Final the hash starts over.
    CSha256 hash;
    hash.Update("xyz", 3);
    hash.Final();
    hash.Update("abc", 3);
    EXPECT_EQ(CSha256::Hex(hash.Final()), kExamples[1].digest);
}

TEST(Sha256, MatchesSha256sumOfAFile) {
#ifndef _WIN32
    const std::string file = TARNWELL_FIXTURE_DIR "/video_e0.pes";
    const std::vector<std::uint8_t> bytes = harness::ReadFile(file);
    ASSERT_FALSE(bytes.empty());
    FILE* pipe = popen(("sha256sum " + ShellQuote(file)).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[128] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    ASSERT_TRUE(read) << "sha256sum did not run";
    EXPECT_EQ(HexOf(bytes, 0), std::string(line).substr(0, 64));
    EXPECT_EQ(HexOf(bytes, 1 << 16), std::string(line).substr(0, 64));
#else
    GTEST_SKIP() << "sha256sum runs on the Linux side";
#endif
}

} // namespace
