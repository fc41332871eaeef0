// Reading a recording's cluster chain as one stream (the cluster list, block
// and cluster boundaries, bit positions, seeks and every way to the end of the
// bitstream), and the start-code search and PES header parser on top of it.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "reader/reader.h"
#include "support/fixtures.h"
#include "support/harness.h"

#include <fstream>
#include <gtest/gtest.h>
#include <memory>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Bytes 1, 2, ... 255, 1, 2, ...: every byte read is told apart from a zero.
Bytes Counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i % 255 + 1);
    return b;
}

image::RecorderImage ChainOf2And8(const Bytes& bytes, std::uint64_t at) {
    image::RecorderImage img;
    img.LinkChain({2, 8});
    img.PlaceChainData({2, 8}, at, bytes);
    return img;
}

// A disk image on file, the run's cluster table read from it, and a reader on
// the chain from `first`. The byte form holds `bytes` at chain offset `at` of
// the chain 2, 8, the image ending right after them, and stands there.
class Chain {
  public:
    Chain(const image::RecorderImage& img, std::int32_t first) {
        EXPECT_TRUE(img.Write(path));
        drive.Open(path);
        drive.LoadClusterTable();
        reader = std::make_unique<CClusterReader>(drive, first);
    }
    explicit Chain(const Bytes& bytes, std::uint64_t at = 0) : Chain(ChainOf2And8(bytes, at), 2) {
        offset = at;
        EXPECT_TRUE(reader->SeekBit(8 * at));
    }
    CClusterReader& Reader() { return *reader; }
    std::uint64_t Pos() const { return reader->GetBitPos() / 8 - offset; } // bytes from `at`
    const std::string& Path() const { return path; }
    Lines ConsoleLines() const { return capture.ConsoleLines(); }
    Lines LogLines() const { return capture.LogLines(); }

  private:
    harness::Capture capture;
    harness::TempDir dir;
    std::string path = dir.File("disk.img");
    std::uint64_t offset = 0;
    CDriveSession drive;
    std::unique_ptr<CClusterReader> reader;
};

TEST(ClusterChainRead, ThreeScatteredClustersReadEndToEndInOrder) {
    // Every block starts with its number + 1, so a block read twice, skipped
    // or read from the wrong place shows.
    const std::vector<int> clusters = {31, 12, 45};
    image::RecorderImage img;
    img.LinkChain(clusters);
    for (std::uint32_t block = 0; block < 3 * kBlocksPerCluster; ++block)
        img.PlaceChainData(
            clusters, std::uint64_t{block} * kBlockSize,
            {static_cast<std::uint8_t>((block + 1) >> 8), static_cast<std::uint8_t>(block + 1)});
    img.SetSize(image::ClusterOffset(45) + kClusterBytes);
    Chain chain(img, 31);
    CClusterReader& reader = chain.Reader();
    EXPECT_EQ(chain.ConsoleLines(), Lines{"Dump clusters... 1f c 2d"});
    EXPECT_EQ(reader.Clusters(), (std::vector<std::int32_t>{31, 12, 45}));

    std::uint64_t count = 0, wrong = 0;
    for (; !reader.IsEOBS(); ++count) {
        const std::uint64_t mark = count / kBlockSize + 1, inBlock = count % kBlockSize;
        const std::uint64_t expected = inBlock == 0 ? mark >> 8 : inBlock == 1 ? mark & 0xFF : 0;
        wrong += static_cast<std::uint64_t>(reader.ReadByte()) != expected;
    }
    EXPECT_EQ(count, 3 * kClusterBytes);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(chain.LogLines(), (Lines{"Dump clusters... 1f c 2d", "goto next cluster 1/12",
                                       "goto next cluster 2/45"}));
    EXPECT_EQ(reader.ReadByte(), 0);
    EXPECT_FALSE(reader.SeekBit(0));
    ASSERT_TRUE(reader.Rewind());
    EXPECT_EQ(reader.GetBitPos(), 0u);
    EXPECT_EQ(reader.PeekUInt32(), 0x00010000u);
    EXPECT_TRUE(reader.SeekBit(8 * (kClusterBytes + kBlockSize)));
    EXPECT_EQ(reader.PeekBits(16), kBlocksPerCluster + 2);
}

TEST(ClusterChainRead, FirstClusterZeroNegativeOrBeyondTheTableGivesAListOfOneAndNoData) {
    image::RecorderImage img;
    img.SetNext(6, 0xFFFF);
    img.PlaceChainData({6}, 0, {0x47});
    const std::pair<std::int32_t, std::string> cases[] = {{0, "Dump clusters... 0"},
                                                          {-1, "Dump clusters... ffffffff"},
                                                          {0xFFFF, "Dump clusters... ffff"},
                                                          {1152, "Dump clusters... 480"},
                                                          {6, "Dump clusters... 6"}};
    for (const auto& [first, dump] : cases) {
        Chain chain(img, first);
        EXPECT_EQ(chain.LogLines(), Lines{dump});
        EXPECT_EQ(chain.Reader().IsEOBS(), first != 6) << first;
        EXPECT_EQ(chain.Reader().ReadByte(), first == 6 ? 0x47 : 0) << first;
    }
}

TEST(ClusterBoundaries, BitsBytesPeeksAndPositionsAcrossBlockAndClusterBoundaries) {
    for (const std::uint64_t boundary :
         {std::uint64_t{kBlockSize}, 5 * std::uint64_t{kBlockSize}, kClusterBytes}) {
        SCOPED_TRACE(boundary);
        Chain chain({0x12, 0x34, 0x56, 0x78, 0x9A}, boundary - 2);
        CClusterReader& reader = chain.Reader();
        const std::uint64_t start = reader.GetBitPos();
        EXPECT_EQ(reader.PeekUInt32(), 0x12345678u);
        EXPECT_EQ(reader.ReadBits(32), 0x12345678u);
        EXPECT_EQ(reader.GetBitPos(), start + 32);
        ASSERT_TRUE(reader.SeekBit(start));
        EXPECT_EQ(reader.ReadBits(12), 0x123u); // slow path: half a byte left
        EXPECT_FALSE(reader.IsByteAligned());
        EXPECT_EQ(reader.ReadBits(12), 0x456u);
        EXPECT_EQ(reader.ReadByte(), 0x78);
        // 0x34 from its fourth bit on (10100), then 0x56 (0101 0110)
        ASSERT_TRUE(reader.SeekBit(start + 8 + 3));
        EXPECT_EQ(reader.PeekBits(10), 0x28Au);
        EXPECT_EQ(reader.ReadBits(10), 0x28Au);
        EXPECT_EQ(reader.GetBitPos(), start + 21);
        EXPECT_EQ(reader.ReadBit(), 1);
        EXPECT_EQ(reader.ReadBits(18), 0x2789Au); // 10, 0x78, then the last byte 0x9A
        EXPECT_TRUE(reader.IsEOBS());
    }
    Chain chain({0xA0, 0xA1, 0xA2, 0xA3, 0xA4}, kClusterBytes);
    ASSERT_TRUE(chain.Reader().Rewind());
    chain.Reader().ReadBits(5);
    EXPECT_EQ(chain.Reader().GetBitPos(), 5u);
    ASSERT_TRUE(chain.Reader().SeekBit(0x32000000u + 24));
    EXPECT_EQ(chain.Reader().GetBitPos(), 0x32000000u + 24);
    EXPECT_EQ(chain.Reader().ReadByte(), 0xA3);
}

TEST(ClusterBoundaries, SeekInsideTheBufferedBlockDoesNotReadTheDisk) {
    // The image changes under the reader: only a seek to another block sees it.
    // Windows lets nobody write the image while the reader has it open.
    Chain chain(Counting(3 * kBlockSize));
    CClusterReader& reader = chain.Reader();
    reader.SkipBytes(200);
    bool changed = false;
    {
        std::fstream file(chain.Path(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(image::ClusterOffset(2) + 100));
        changed = file.write("\xEE\xEE\xEE\xEE", 4).flush().good();
    }
#ifdef _WIN32
    EXPECT_FALSE(changed);
#else
    ASSERT_TRUE(changed);
#endif
    ASSERT_TRUE(reader.SeekBit(8 * 100));
    EXPECT_EQ(reader.PeekUInt32(), 0x65666768u);
    EXPECT_EQ(reader.ReadByte(), 0x65);
    ASSERT_TRUE(reader.SeekBit(8 * 2 * kBlockSize));
    ASSERT_TRUE(reader.SeekBit(8 * 100));
    EXPECT_EQ(reader.ReadByte(), changed ? 0xEE : 0x65);
}

TEST(EndOfBitstream, LastByteOfAShortOrFullLastBlockEndsTheStreamUntilRewind) {
    // A short first block, a short fourth block, and data ending exactly at a
    // block end (the next read delivers nothing).
    for (const std::uint64_t length :
         {std::uint64_t{10}, 3 * std::uint64_t{kBlockSize} + 100, 2 * std::uint64_t{kBlockSize}}) {
        SCOPED_TRACE(length);
        const Bytes data = Counting(length);
        Chain chain(data);
        CClusterReader& reader = chain.Reader();
        const auto bytesAt = [&](std::uint64_t at, int n) {
            std::uint32_t v = 0;
            for (int i = 0; i < n; ++i)
                v = (v << 8) | data[at + i];
            return v;
        };
        // Four bytes with a fifth after them are peeked in place; the last
        // four are peeked by reading them, which ends the stream.
        ASSERT_TRUE(reader.SeekBit(8 * (length - 5)));
        EXPECT_EQ(reader.PeekUInt32(), bytesAt(length - 5, 4));
        EXPECT_EQ(chain.Pos(), length - 5);
        reader.SkipByte();
        EXPECT_EQ(reader.PeekUInt32(), bytesAt(length - 4, 4));
        EXPECT_TRUE(reader.IsEOBS());
        ASSERT_TRUE(reader.Rewind());
        ASSERT_TRUE(reader.SeekBit(8 * (length - 2)));
        EXPECT_EQ(reader.ReadBits(32), bytesAt(length - 2, 2)); // the bytes taken, right-aligned
        EXPECT_TRUE(reader.IsEOBS());
        EXPECT_EQ(reader.ReadByte() + reader.ReadBit(), 0);
        EXPECT_EQ(reader.ReadBits(3) + reader.ReadBits(16) + reader.PeekUInt32(), 0u);
        reader.SkipBytes(1000);
        EXPECT_FALSE(reader.SeekBit(0));
        ASSERT_TRUE(reader.Rewind());
        EXPECT_EQ(reader.ReadByte(), data[0]);
    }
}

TEST(EndOfBitstream, SeeksBeyondTheDataOrTheListAreRefused) {
    const Bytes data = Counting(2 * kBlockSize + 100);
    Chain chain(data);
    CClusterReader& reader = chain.Reader();
    const std::uint64_t last = 2 * kBlockSize; // the short block
    const std::tuple<std::uint64_t, std::uint64_t, bool> seeks[] = {
        {0, last + 99, true},    {0, last + 100, false},     {last, last + 100, false},
        {last, last + 99, true}, {0, 7 * kBlockSize, false}, {0, 2 * kClusterBytes, false}};
    for (const auto& [from, to, ok] : seeks) {
        SCOPED_TRACE(to);
        ASSERT_TRUE(reader.Rewind());
        ASSERT_TRUE(reader.SeekBit(8 * from));
        EXPECT_EQ(reader.SeekBit(8 * to), ok);
        EXPECT_EQ(reader.IsEOBS(), !ok);
        EXPECT_EQ(reader.ReadByte(), ok ? data[to] : 0);
    }
}

TEST(EndOfBitstream, StepToAClusterThatCannotBeReachedEndsTheStream) {
    image::RecorderImage img;
    img.SetNext(3, 0); // cluster 0 does not exist
    img.PlaceChainData({3}, kClusterBytes - 2, {0x11, 0x22});
    Chain chain(img, 3);
    CClusterReader& reader = chain.Reader();
    EXPECT_FALSE(reader.SeekBit(kClusterBits));
    EXPECT_TRUE(reader.IsEOBS());
    ASSERT_TRUE(reader.Rewind());
    ASSERT_TRUE(reader.SeekBit(kClusterBits - 16));
    EXPECT_EQ(reader.ReadByte(), 0x11);
    EXPECT_EQ(reader.ReadByte(), 0x22);
    EXPECT_TRUE(reader.IsEOBS());
    EXPECT_EQ(chain.LogLines().back(), "goto next cluster 1/0");
}

// Where a rescue finds a recording's end: the reading stops exactly there, a
// seek back before it works again and one to it is refused; the look ahead
// gives the chain's bytes across block and cluster boundaries without moving
// the reader, and tells where the first unreadable sector cuts them short.
TEST(EndOfBitstream, AnEndSetStopsTheReadingThereAndALookAheadSeesPastIt) {
    const std::uint64_t at = kClusterBytes - kBlockSize - 10;
    const Bytes data = Counting(3 * kBlockSize);
    // In the block at hand, in the next cluster's first block, in its second.
    for (const std::uint64_t end : {at + 5, at + kBlockSize + 13, at + 2 * kBlockSize + 3}) {
        SCOPED_TRACE(end - at);
        Chain chain(data, at);
        CClusterReader& reader = chain.Reader();
        Bytes ahead(2 * kBlockSize);
        EXPECT_EQ(reader.LookAhead(at + 1, ahead.data(), 2 * kBlockSize), 2 * kBlockSize);
        EXPECT_TRUE(ahead == Bytes(data.begin() + 1, data.begin() + 1 + 2 * kBlockSize));
        EXPECT_EQ(chain.Pos(), 0u);
        reader.SetEnd(end);
        std::uint64_t n = 0;
        while (!reader.IsEOBS() && n < data.size())
            ASSERT_EQ(reader.ReadByte(), data[n++]);
        EXPECT_EQ(at + n, end);
        EXPECT_FALSE(reader.SeekBit(8 * end));
        EXPECT_TRUE(reader.SeekBit(8 * (end - 1)));
        EXPECT_EQ(reader.ReadByte(), data[end - 1 - at]);
        EXPECT_EQ(reader.LookAhead(end - 2, ahead.data(), 10), 2u);
    }
    Chain chain(data, at);
    chain.Reader().Session().Unreadable().Add(image::ClusterOffset(2) + at + 100, kSectorSize);
    EXPECT_EQ(chain.Reader().ReadableBytes(at, 1000), 100u);
    EXPECT_EQ(chain.Reader().ReadableBytes(at + 100, 1000), 0u);
    EXPECT_EQ(chain.Reader().ReadableBytes(at + 100 + kSectorSize, 1000), 1000u);
}

TEST(EndOfBitstream, DriveThatCannotBeReadOrOpenedFailsEveryOperationSafely) {
    // A folder opens but cannot be read; Windows does not open it at all.
#ifdef _WIN32
    const bool folderOpens = false;
#else
    const bool folderOpens = true;
#endif
    const harness::TempDir dir;
    for (const std::string& drive : {dir.Path(), dir.File("no-such.img")}) {
        SCOPED_TRACE(drive);
        const bool opens = folderOpens && drive == dir.Path();
        const harness::Capture capture;
        bool ok = true;
        CDriveSession session;
        session.Open(drive);
        session.SetClusterTable(std::make_unique<CClusterTable>(session, ok));
        CClusterReader reader(session, 1);
        EXPECT_EQ(reader.Clusters().size(), opens ? 1u : 0u);
        EXPECT_EQ(capture.Log().empty(), !opens); // no open, no list, no lines
        EXPECT_TRUE(reader.IsEOBS());
        EXPECT_EQ(reader.ReadBit() + reader.ReadByte(), 0);
        EXPECT_EQ(reader.ReadBits(8) + reader.ReadBits(7) + reader.PeekBits(16), 0u);
        reader.SkipBytes(3);
        EXPECT_EQ(reader.PeekUInt32(), 0u);
        EXPECT_FALSE(reader.SeekBit(0) || reader.LoadNextBlock() || reader.Rewind());
        EXPECT_FALSE(IsPESPacketAt(reader, 0xE0) || CPESHeader(reader, 0).IsValid());
        EXPECT_TRUE(reader.IsEOBS());
    }
}

TEST(StreamClasses, PrivateAudioVideoAndEverythingElse) {
    const std::pair<int, int> cases[] = {{0xBD, 1}, {0xBF, 2}, {0xC0, 3}, {0xDF, 3},
                                         {0xE0, 4}, {0xEF, 4}, {0xBE, 0}, {0xBC, 0},
                                         {0xF0, 0}, {0x00, 0}, {0xFF, 0}};
    for (const auto& [id, cls] : cases)
        EXPECT_EQ(StreamClass(id), cls) << id;
}

TEST(StartCodeSearch, StopsOnThePrefixAcrossBoundariesAfterDroppingAPartlyReadByte) {
    const std::tuple<Bytes, int, bool, std::uint64_t> cases[] = {
        // bytes, bits read before, found, where
        {{0, 0, 0, 1, 0xE0}, 0, true, 1},
        {{0, 0, 1, 0xB3, 0xFF}, 0, true, 0},
        {{0, 0, 1, 0xE0, 0xFF, 0, 0, 1, 0xC0}, 3, true, 5},
        {{0, 0, 1, 0xE0}, 3, false, 0},
        {{0xFF, 0, 0, 1}, 0, false, 0}, // a prefix that ends the data is not reported
        {{0xFF, 0xFF, 0xFF, 0xFF, 0, 0}, 0, false, 0},
    };
    // across the end of a block, and the step to the chain's second cluster
    for (const std::uint64_t boundary : {std::uint64_t{kBlockSize}, kClusterBytes}) {
        for (const auto& [bytes, bitsRead, found, pos] : cases) {
            SCOPED_TRACE(testing::PrintToString(bytes) + " at " + std::to_string(boundary));
            Chain chain(bytes, boundary - 2);
            chain.Reader().ReadBits(bitsRead);
            EXPECT_EQ(SeekNextStartCode(chain.Reader()), found);
            EXPECT_EQ(chain.Reader().IsEOBS(), !found);
            EXPECT_EQ(found ? chain.Pos() : pos, pos);
            EXPECT_EQ(found ? chain.Reader().PeekUInt32() >> 8 : 1u, 1u); // peeked on the prefix
        }
    }
}

// The search takes the buffered block in bulk; the prefix at every offset
// around a block boundary, searched for from the block before and from its
// tail carried in front of the next, with and without a budget that reaches it.
TEST(StartCodeSearch, PrefixAtEveryOffsetAroundABlockBoundary) {
    std::size_t wrong = 0;
    for (std::size_t at = 0; at + 3 < 72; ++at) {
        Bytes bytes(72, 0xFF); // not at the very end: that prefix is never reported
        bytes[at] = bytes[at + 1] = 0;
        bytes[at + 2] = 1;
        for (const int carried : {0, 1}) {
            Chain chain(bytes, kBlockSize - 36);
            CClusterReader& reader = chain.Reader();
            reader.SkipBytes(carried * 40);
            reader.SeekBit(8 * (kBlockSize - 36));
            wrong += !SeekNextStartCode(reader) || chain.Pos() != at;
            reader.SeekBit(8 * (kBlockSize - 36));
            const auto budget = static_cast<std::int32_t>(at + 3 - carried);
            wrong += SeekNextStartCodeWithin(reader, budget) != !carried;
            wrong += chain.Pos() != (carried ? at + 3 : at);
        }
    }
    EXPECT_EQ(wrong, 0u);
}

// A spent budget took one byte more than maxBytes + 1 from the aligned start.
TEST(StartCodeSearch, WithinSpentBudgetTookOneByteTooMany) {
    const Bytes at0 = {0, 0, 1, 0xE0}, at1 = {0xAA, 0, 0, 1}, at2 = {0xAA, 0xBB, 0, 0, 1};
    const std::tuple<Bytes, int, int, bool, std::uint64_t> cases[] = {
        // bytes, bits read before, maxBytes, found, where the reader stands
        {at0, 0, 3, true, 0},  {at1, 0, 3, false, 4}, {at2, 0, 5, true, 2},
        {at2, 0, 4, false, 5}, {at0, 0, 2, false, 3}, // three bytes read, nothing compared
        {at1, 5, 3, true, 1},  {at2, 5, 3, false, 5}, // counted from the aligned start
    };
    for (const auto& [bytes, bitsRead, maxBytes, found, pos] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes) + " max " + std::to_string(maxBytes));
        Chain chain(bytes + Bytes(16, 0xFF));
        chain.Reader().ReadBits(bitsRead);
        EXPECT_EQ(SeekNextStartCodeWithin(chain.Reader(), maxBytes), found);
        EXPECT_EQ(chain.Pos(), pos);
    }
}

// The search aligned itself by reading bits, which at the end of the data
// move nothing: a reader that met the end inside a byte, or whose drive could
// not be opened, looped forever.
TEST(StartCodeSearch, EndMetInsideAByteLoopedForever) {
    const harness::TempDir dir;
    for (const bool within : {false, true}) {
        Chain chain({0, 0, 1, 0xE0, 0x47});
        chain.Reader().ReadBits(3);
        EXPECT_FALSE(chain.Reader().SeekBit(8 * 5)); // the end, inside a byte
        EXPECT_FALSE(within ? SeekNextStartCodeWithin(chain.Reader(), 4)
                            : SeekNextStartCode(chain.Reader()));
        CDriveSession none;
        none.Open(dir.File("no-such.img"));
        CClusterReader unopened(none, 2);
        EXPECT_FALSE(within ? SeekNextStartCodeWithin(unopened, 4) : SeekNextStartCode(unopened));
    }
}

// '00xx' TS[32..30] marker TS[29..15] marker TS[14..0] marker
Bytes TimeStamp(int prefix, std::uint64_t ts) {
    return {static_cast<std::uint8_t>((prefix << 4) | ((ts >> 29) & 0x0E) | 1),
            static_cast<std::uint8_t>(ts >> 22), static_cast<std::uint8_t>(((ts >> 14) & 0xFE) | 1),
            static_cast<std::uint8_t>(ts >> 7), static_cast<std::uint8_t>(((ts << 1) & 0xFE) | 1)};
}

// 00 00 01 id, PES_packet_length, '10' and the copy bits, PTS_DTS_flags and
// the six flags, PES_header_data_length, the fields.
Bytes Pes(int id, std::uint8_t flags, const Bytes& fields, std::uint8_t first = 0x80) {
    const auto byte = [](auto v) { return static_cast<std::uint8_t>(v); };
    return Bytes{0, 0, 1, byte(id), 0x01, 0x00, first, flags, byte(fields.size())} + fields;
}

Bytes FlipBit(Bytes b, std::size_t bit) {
    b[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    return b;
}

constexpr std::uint64_t kPts = 0x1'2345'6789; // all three fields non-zero
constexpr std::uint64_t kNoPts = ~std::uint64_t{0};

// pack_start_code '01' SCR[32..30] marker SCR[29..15] marker SCR[14..0] marker
// SCR_ext(9) marker program_mux_rate(22) marker marker reserved(5) stuffing(3)=2
const Bytes kPackHeader = Bytes{0, 0, 1, 0xBA} +
                          Bytes{0x44, 0, 0x04, 0, 0x04, 0x01, 0, 0, 0x03, 0xFA} + Bytes{0xFF, 0xFF};

TEST(PesHeader, EveryOptionalFieldIsParsedAndItsMarkersAndPatternsChecked) {
    // flags; the field after the PTS; the bits of the field that reject the
    // header when flipped (markers and fixed patterns)
    const std::uint8_t ext = 0x81;
    const std::tuple<const char*, std::uint8_t, Bytes, std::vector<std::size_t>> fields[] = {
        {"PTS only", 0x80, {}, {}},
        // reserved(2) ESCR[32..30] marker ESCR[29..15] marker ESCR[14..0] marker ext(9) marker
        {"ESCR", 0xA0, {0x04, 0, 0x04, 0, 0x04, 0x01}, {5, 21, 37, 47}},
        {"ES rate", 0x90, {0x80, 0, 0x01}, {0, 23}}, // marker ES_rate(22) marker
        {"DSM trick mode", 0x88, {0x5A}, {}},
        {"additional copy info", 0x84, {0x80}, {0}}, // marker copy_info(7)
        {"CRC", 0x82, {0x12, 0x34}, {}},
        // private_data pack_header sequence_counter P-STD reserved(3) extension_flag_2
        {"private data", ext, Bytes{0x8E} + Bytes(16, 0), {}},
        {"pack header",
         ext,
         Bytes{0x4E, 16} + kPackHeader, // start code, '01', markers, stuffing
         {16, 47, 48, 49, 53, 69, 85, 95, 118, 119, 128, 135}},
        {"sequence counter", ext, {0x2E, 0x80, 0x80}, {8, 16}}, // marker (7) marker (7)
        {"P-STD buffer", ext, {0x1E, 0x40, 0x00}, {8, 9}},      // '01' scale size(13)
        {"extension 2", ext, {0x0F, 0x83, 0, 0, 0}, {8}},       // marker length(7) bytes
        {"all at once",
         0xBF,
         Bytes{0x04, 0, 0x04, 0, 0x04, 0x01, 0x80, 0, 0x01, 0x5A, 0x80, 0x12, 0x34, 0xFF} +
             Bytes(16, 0) + Bytes{16} + kPackHeader + Bytes{0x80, 0x80, 0x40, 0, 0x81, 0},
         {}},
    };
    // Parsed bit by bit (the header is cut by the end of the block or of the
    // data) and from the buffer (the longest header and more are buffered).
    for (const auto& [name, flags, field, rejectBits] : fields) {
        for (const std::size_t padding : {0, 256}) {
            SCOPED_TRACE(std::string(name) + (padding ? " buffered" : " bit by bit"));
            const Bytes header = Pes(0xC0, flags, TimeStamp(2, kPts) + field);
            const Bytes tail = Bytes{0xFF, 0xAB} + Bytes(padding, 0xAB);
            Chain chain(Bytes{0x47} + header + tail, padding ? 0 : kBlockSize - 20);
            chain.Reader().SkipByte();
            const CPESHeader valid(chain.Reader(), 0xC0);
            EXPECT_TRUE(valid.IsValid());
            EXPECT_EQ(valid.GetPTS(), kPts);
            EXPECT_FALSE(valid.HasDTS());
            EXPECT_EQ(valid.GetPacketLength(), 0x100);
            EXPECT_EQ(valid.GetHeaderDataLength(), static_cast<int>(header.size() - 9));
            EXPECT_EQ(chain.Pos(), 1 + header.size()); // audio: the stuffing byte is left
            for (const std::size_t bit : rejectBits) {
                Chain flipped(Bytes{0x47} + FlipBit(header, 8 * 14 + bit) + tail);
                flipped.Reader().SkipByte();
                EXPECT_EQ(CPESHeader(flipped.Reader(), 0xC0).GetPTS(), kNoPts) << bit;
                EXPECT_EQ(flipped.Pos(), 1u) << bit; // back on the start code
            }
        }
    }
}

TEST(PesHeader, TimeStampsTheirPrefixesAndMarkers) {
    const std::tuple<const char*, Bytes, std::uint64_t, bool> valid[] = {
        {"zero", Pes(0xC0, 0x80, {0x21, 0x00, 0x01, 0x00, 0x01}), 0, false},
        {"one second", Pes(0xE0, 0xC0, Bytes{0x31, 0x00, 0x05, 0xBF, 0x21} + TimeStamp(1, 0)),
         90000, true},
        {"33 bits", Pes(0xBD, 0x80, TimeStamp(2, kPtsModulus - 1)), kPtsModulus - 1, false},
    };
    for (const auto& [name, header, pts, hasDts] : valid) {
        Chain chain(header + Bytes{0, 0, 1, 0xB3});
        const CPESHeader h(chain.Reader(), header[3]);
        EXPECT_TRUE(h.IsValid()) << name;
        EXPECT_EQ(h.GetPTS(), pts) << name;
        EXPECT_EQ(h.HasDTS(), hasDts) << name;
    }
    const Bytes both = TimeStamp(3, kPts) + TimeStamp(1, kPts - 3600);
    std::vector<std::pair<std::string, Bytes>> invalid = {
        {"flags 00", Pes(0xC0, 0x00, {})},
        {"flags 01", Pes(0xC0, 0x40, TimeStamp(2, kPts))},
        {"'00' not '10'", Pes(0xC0, 0x80, TimeStamp(2, kPts), 0x00)},
        {"'01' not '10'", Pes(0xC0, 0x80, TimeStamp(2, kPts), 0x40)},
        {"other stream", Pes(0xC1, 0x80, TimeStamp(2, kPts))},
        {"0011 with flags 10", Pes(0xC0, 0x80, TimeStamp(3, kPts))},
        {"0010 with flags 11", Pes(0xC0, 0xC0, TimeStamp(2, kPts) + TimeStamp(1, kPts))},
        {"DTS prefix 0011", Pes(0xC0, 0xC0, TimeStamp(3, kPts) + TimeStamp(3, kPts))},
    };
    for (const std::size_t bit : {7, 23, 39}) {
        invalid.emplace_back("PTS marker", Pes(0xC0, 0x80, FlipBit(TimeStamp(2, kPts), bit)));
        invalid.emplace_back("PTS marker before DTS", Pes(0xC0, 0xC0, FlipBit(both, bit)));
        invalid.emplace_back("DTS marker", Pes(0xC0, 0xC0, FlipBit(both, 40 + bit)));
    }
    for (const auto& [name, header] : invalid) {
        SCOPED_TRACE(name);
        Chain chain(header + Bytes{0xAB, 0xAB});
        const CPESHeader h(chain.Reader(), 0xC0);
        EXPECT_FALSE(h.IsValid() || h.HasDTS());
        EXPECT_EQ(h.GetPTS(), kNoPts);
        EXPECT_EQ(chain.Pos(), 0u);
        EXPECT_FALSE(IsPESPacketAt(chain.Reader(), 0xC0));
        EXPECT_EQ(chain.Pos(), 0u);
    }
}

TEST(PesHeader, HeaderCutOffByTheEndOfTheDataIsNotValid) {
    // Missing bits read as zeros, which the CRC and the private data would
    // accept: only the end of the data tells.
    for (const int id : {0xC0, 0xE0}) {
        const Bytes header =
            Pes(id, 0xC3,
                TimeStamp(3, kPts) + TimeStamp(1, kPts) + Bytes{0x12, 0x34, 0x80} + Bytes(16, 0));
        for (std::size_t length = 1; length < header.size(); ++length) {
            Chain chain(Bytes(header.begin(), header.begin() + static_cast<long>(length)));
            EXPECT_EQ(CPESHeader(chain.Reader(), id).GetPTS(), kNoPts) << id << " " << length;
            EXPECT_TRUE(chain.Reader().IsEOBS());
        }
        // Complete up to the last byte of the data: valid, for video too,
        // where no start code follows.
        Chain chain(header);
        EXPECT_EQ(CPESHeader(chain.Reader(), id).GetPTS(), kPts) << id;
    }
}

TEST(PesPacketAt, VideoMustGoOnWithASequenceHeaderOrAPicture) {
    const std::tuple<int, Bytes, bool, std::uint64_t> cases[] = {
        // stream, what follows the header's two stuffing bytes, packet?, where the reader
        // stands (video: on the next start code; otherwise right after the PTS)
        {0xE0, {0, 0, 1, 0xB3}, true, 16},  {0xE0, {0, 0, 1, 0x00}, true, 16},
        {0xE0, {0, 0, 1, 0xB8}, false, 16}, {0xE3, {0xFF, 0, 0, 1, 0xB3}, true, 17},
        {0xC0, {0, 0, 1, 0xB8}, true, 14},  {0xBD, {0x0B, 0x77}, true, 14},
    };
    for (const auto& [id, next, packet, pos] : cases) {
        SCOPED_TRACE(testing::PrintToString(next));
        const Bytes bytes =
            Pes(id, 0x80, TimeStamp(2, 90000) + Bytes{0xFF, 0xFF}) + next + Bytes{0xAB};
        Chain tested(bytes);
        EXPECT_EQ(IsPESPacketAt(tested.Reader(), id), packet);
        EXPECT_EQ(tested.Pos(), pos);
        Chain other(bytes);
        EXPECT_FALSE(IsPESPacketAt(other.Reader(), id + 1));
        EXPECT_EQ(other.Pos(), 0u);
    }
}

TEST(RealStreams, EveryFixturePacketAcrossAClusterBoundaryParses) {
    for (const char* name : {"video_e0", "audio_c0", "audio_bd"}) {
        SCOPED_TRACE(name);
        const Fixture f = LoadFixture(name);
        const std::uint64_t at = kClusterBytes - f.bytes.size() / 2 - 3;
        Chain chain(f.bytes, at);
        CClusterReader& reader = chain.Reader();
        std::size_t wrong = 0;
        for (const PesPacket& p : f.packets) {
            ASSERT_TRUE(reader.SeekBit(8 * (at + p.offset)));
            const CPESHeader h(reader, f.streamId);
            wrong += h.GetPTS() != static_cast<std::uint64_t>(p.pts) ||
                     h.HasDTS() != (p.dts >= 0) ||
                     (p.dts >= 0 && h.GetDTS() != static_cast<std::uint64_t>(p.dts)) ||
                     chain.Pos() != p.payloadOffset;
            ASSERT_TRUE(reader.SeekBit(8 * (at + p.offset)));
            wrong += !IsPESPacketAt(reader, f.streamId) || chain.Pos() != p.payloadOffset;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

} // namespace
