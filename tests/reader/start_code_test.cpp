// The start-code searches that look at many bytes a step, against a search
// byte by byte: prefixes, whole codes and near misses at every offset of a
// run and of the steps, random runs rich in zeros, and the fixtures' streams.
// Built twice: with the vector search of the machine and with the word search
// that other machines get.
#include "reader/reader.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// 00 00 01, followed by `id` unless it is negative.
std::size_t ByteByByte(const std::uint8_t* bytes, std::size_t count, int id) {
    for (std::size_t i = 0; i + 3 + (id >= 0) <= count; ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 &&
            (id < 0 || bytes[i + 3] == id))
            return i;
    }
    return count;
}

std::size_t Fast(const std::uint8_t* bytes, std::size_t count, int id) {
    return id < 0 ? FindStartCodePrefix(bytes, count)
                  : FindStartCode(bytes, count, static_cast<std::uint8_t>(id));
}

// The prefix and three whole codes, from every start to every end within the
// run: each is a new offset to the steps.
std::size_t Mismatches(const Bytes& run) {
    std::size_t wrong = 0;
    for (const int id : {-1, 0xE0, 0x00, 0x01}) {
        for (std::size_t from = 0; from <= run.size(); ++from) {
            for (std::size_t to = from; to <= run.size(); ++to)
                wrong += Fast(run.data() + from, to - from, id) !=
                         ByteByByte(run.data() + from, to - from, id);
        }
    }
    return wrong;
}

TEST(StartCodePrefix, PrefixesAndNearMissesAtEveryOffsetOfTheSteps) {
    const Bytes patterns[] = {
        {0, 0, 1},    {0, 0, 0, 1}, {0, 0, 2},       {0, 1, 0, 1},    {0, 0},
        {0, 0, 0xE0}, {1, 0, 0, 1}, {0, 0, 1, 0xE0}, {0, 0, 1, 0xE1}, {0, 0, 0, 1, 0xE0, 0xE0},
    };
    for (const int filler : {0xFF, 0x01, 0x00, 0xE0}) {
        for (const Bytes& pattern : patterns) {
            SCOPED_TRACE(testing::PrintToString(pattern) + " in " + std::to_string(filler));
            std::size_t wrong = 0;
            for (std::size_t at = 0; at < 46; ++at) {
                Bytes run(48, static_cast<std::uint8_t>(filler));
                for (std::size_t i = 0; i < pattern.size() && at + i < run.size(); ++i)
                    run[at + i] = pattern[i];
                wrong += Mismatches(run);
            }
            EXPECT_EQ(wrong, 0u);
        }
    }
}

TEST(StartCodePrefix, RandomRunsRichInZerosAndOnes) {
    std::mt19937 random(19);
    std::size_t wrong = 0;
    for (int round = 0; round < 200; ++round) {
        Bytes run(std::uniform_int_distribution<std::size_t>(0, 100)(random));
        for (std::uint8_t& byte : run) {
            const unsigned r = random() % 8;
            byte = static_cast<std::uint8_t>(r < 4 ? 0 : r < 6 ? 1 : random());
        }
        wrong += Mismatches(run);
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(StartCodePrefix, EveryPrefixOfTheRealStreamsFoundInTurn) {
    for (const char* name : {"video_e0.pes", "audio_c0.pes", "audio_bd.pes"}) {
        std::ifstream in(std::string(TARNWELL_FIXTURE_DIR) + "/" + name, std::ios::binary);
        const Bytes stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(stream.empty()) << name;
        std::size_t found = 0, wrong = 0;
        for (const int id : {-1, 0xE0, 0xC0, 0xBD, 0xB3}) {
            for (std::size_t at = 0; at < stream.size(); ++found) {
                const std::size_t next = Fast(stream.data() + at, stream.size() - at, id);
                wrong += next != ByteByByte(stream.data() + at, stream.size() - at, id);
                at += next + 1;
            }
        }
        EXPECT_EQ(wrong, 0u) << name;
        EXPECT_GT(found, 30u) << name;
    }
}

} // namespace
