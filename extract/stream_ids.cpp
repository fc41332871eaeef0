// Finding the stream id that a cluster chain carries.
#include "drive/drive.h"
#include "extract/extract.h"
#include "platform/runlog.h"
#include "reader/reader.h"

bool CPVRFile::GetStreamIDs(CClusterReader& reader, int& streamId) {
    streamId = 0;
    StreamStartByte = 0;
    *g_Log << "GetStreamIDs" << std::endl;
    *g_Log << "try to rewind";
    if (!reader.Rewind()) {
        *g_Log << "... failed..." << std::endl;
        return false;
    }
    *g_Log << "... okay" << std::endl;

    if (!SeekNextStartCodeWithin(reader, kStreamIdSearchBytes))
        return false;
    // The first acceptable packet must start within the chain's first cluster.
    std::uint64_t bound = 0;
    for (;;) {
        if (bound >= kClusterBits)
            return false;
        const std::uint64_t at = reader.GetBitPos() / 8;
        for (int id = kPrivateStream1; id <= kLastVideoStream; ++id) {
            if (StreamClass(id) == kClassNone)
                continue; // the padding stream
            if (IsPESPacketAt(reader, id)) {
                streamId = id;
                StreamStartByte = at;
                return true;
            }
        }
        reader.SkipBytes(1);
        bound = reader.GetBitPos();
        if (!SeekNextStartCodeWithin(reader, kStreamIdSearchBytes))
            return false;
    }
}
