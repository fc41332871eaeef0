// The buffered output file of a rip: one write per 65,536 bytes, the bytes in
// order, an existing file replaced, and files that cannot be created or
// written.
#include "output/output.h"
#include "support/harness.h"

#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// Size of a file, -1 when there is none.
long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

int Pattern(long long i) {
    return static_cast<int>(i * 7 + i / 251);
}

TEST(OutputFileWrites, AFullBufferIsWrittenAtIts65536thByteAndTheRestOnDestruction) {
    const long long full = COBits::kBufferSize;
    for (const long long count : {1LL, full - 1, full, full + 1, 2 * full, 2 * full + 3}) {
        SCOPED_TRACE(count);
        const harness::Capture capture;
        const harness::TempDir dir;
        const std::string name = dir.File("001 - News.m2v");
        bool ok = false;
        auto out = std::make_unique<COBits>(name, ok);
        ASSERT_TRUE(ok);
        for (long long i = 0; i + 1 < count; ++i)
            out->WriteByte(Pattern(i));
        EXPECT_EQ(FileSize(name), (count - 1) / full * full);
        out->WriteByte(Pattern(count - 1));
        EXPECT_EQ(FileSize(name), count / full * full);
        out.reset();
        const Bytes written = harness::ReadFile(name);
        ASSERT_EQ(static_cast<long long>(written.size()), count);
        long long wrong = 0;
        for (long long i = 0; i < count; ++i)
            wrong += written[static_cast<std::size_t>(i)] != static_cast<std::uint8_t>(Pattern(i));
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(capture.LogLines(), (Lines{"COBits::COBits", name, "filehandle okay"}));
    }
}

TEST(OutputFileWrites, FlushWritesTheLow8BitsOfWhatIsBufferedAndAnEmptyFlushNothing) {
    const harness::Capture capture;
    const harness::TempDir dir;
    const std::string name = dir.File("out.mp2");
    bool ok = false;
    COBits out(name, ok);
    out.Flush();
    EXPECT_EQ(FileSize(name), 0);
    for (const int value : {0x1B3, -1, 0x100})
        out.WriteByte(value);
    out.WriteByte("\x80");
    out.Flush();
    out.Flush();
    out.WriteByte(0x47);
    out.Flush();
    EXPECT_EQ(harness::ReadFile(name), (Bytes{0xB3, 0xFF, 0x00, 0x80, 0x47}));
    EXPECT_FALSE(out.WriteFailed());
}

TEST(OutputFileCreation, AnExistingFileIsReplacedEvenWhenNothingIsWritten) {
    const harness::Capture capture;
    const harness::TempDir dir;
    const std::string name = dir.File("001 - News.ac3");
    for (const Bytes& bytes : {Bytes{}, Bytes{0x0B, 0x77}}) {
        ASSERT_TRUE(harness::WriteFile(name, Bytes(100000, 0x55)));
        bool ok = false;
        {
            COBits out(name, ok);
            EXPECT_EQ(FileSize(name), 0);
            for (const std::uint8_t b : bytes)
                out.WriteByte(b);
        }
        EXPECT_TRUE(ok);
        EXPECT_EQ(harness::ReadFile(name), bytes);
    }
}

TEST(OutputFileCreation, AFileThatCannotBeCreatedDropsEveryByte) {
    const harness::Capture capture;
    const harness::TempDir dir;
    const std::string name = dir.File("no-such-folder/001 - News.m2v");
    bool ok = true;
    {
        COBits out(name, ok);
        for (int i = 0; i < 3 * COBits::kBufferSize + 5; ++i)
            out.WriteByte(i);
        out.Flush();
        EXPECT_FALSE(out.WriteFailed());
    }
    EXPECT_FALSE(ok);
    EXPECT_FALSE(harness::FileExists(name));
    EXPECT_EQ(capture.LogLines(), (Lines{"COBits::COBits", name, "filehandle NOT okay!!!"}));
}

TEST(OutputFileFailure, AFailedWriteIsLoggedAndRememberedAndWritingGoesOn) {
    const std::string name = "/dev/full"; // every write fails: no space left
    if (!harness::FileExists(name))
        GTEST_SKIP() << "no /dev/full here";
    const harness::Capture capture;
    const Lines opened = {"COBits::COBits", name, "filehandle okay"};
    const std::string failed = "COBits::Flush WriteFile failed!";
    {
        bool ok = false;
        COBits out(name, ok);
        ASSERT_TRUE(ok);
        out.Flush(); // nothing buffered: no write, so no failure
        EXPECT_FALSE(out.WriteFailed());
        EXPECT_EQ(capture.LogLines(), opened);
        out.WriteByte(1);
        out.Flush();
        EXPECT_TRUE(out.WriteFailed());
        for (int i = 0; i < COBits::kBufferSize; ++i)
            out.WriteByte(i); // the full buffer is written, and fails, at once
        EXPECT_EQ(capture.LogLines().size(), opened.size() + 2);
        out.WriteByte(2);
    }
    EXPECT_EQ(capture.LogLines(), (Lines{opened[0], opened[1], opened[2], failed, failed, failed}));
}

} // namespace
