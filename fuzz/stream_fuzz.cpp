// The PES parsers on arbitrary chain data: the input is laid into the one
// cluster of a small image across the reader's first block boundary, and
// read through CClusterReader with the start-code search, CPESHeader,
// IsPESPacketAt, GetStreamIDs and FindFirstPTS.
#include "fuzz_support.h"

#include "drive/drive.h"
#include "image/recorder_image.h"
#include "reader/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = fuzz::ImagePath();
    std::vector<std::uint8_t> bytes(data, data + size);
    image::RecorderImage disk;
    image::Recording rec;
    rec.firstVCluster = rec.firstACluster = 1;
    disk.AddRecording(rec);
    disk.LinkChain({1});
    // Half of the input before the block boundary, half after (or all of a
    // long input's first block before it).
    const std::uint64_t before = bytes.size() / 2 < kBlockSize ? bytes.size() / 2 : kBlockSize;
    disk.PlaceChainData({1}, kBlockSize - before, bytes);
    if (!disk.Write(path))
        return 0;

    CDriveSession drive;
    drive.Open(path);
    drive.LoadClusterTable();
    CPVRFile file(drive, 0);
    {
        CClusterReader reader(drive, 1);
        // Every start code, taken as the header of the stream its id names.
        while (SeekNextStartCode(reader)) {
            const std::uint64_t at = reader.GetBitPos();
            const int streamId = static_cast<int>(reader.PeekUInt32() & 0xFF);
            const CPESHeader header(reader, streamId);
            if (header.IsValid() && reader.SeekBit(at))
                IsPESPacketAt(reader, streamId);
            if (!reader.SeekBit(at + 8))
                break;
        }
        int streamId = 0;
        std::int64_t pts = 0;
        if (file.GetStreamIDs(reader, streamId))
            file.FindFirstPTS(reader, streamId, pts);
    }
    fuzz::ResetConsole();
    return 0;
}
