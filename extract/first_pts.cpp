// Finding where a stream's timeline begins.
#include "drive/drive.h"
#include "platform/runlog.h"
#include "reader/reader.h"

namespace {

const char* ClassName(int streamClass) {
    switch (streamClass) {
    case kClassPrivate1:
        return "PRIVATE_1 ";
    case kClassPrivate2:
        return "PRIVATE_2 ";
    case kClassAudio:
        return "AUDIO ";
    case kClassVideo:
        return "VIDEO ";
    default:
        return "";
    }
}

} // namespace

bool CPVRFile::FindFirstPTS(CClusterReader& reader, int streamId, std::int64_t& pts) {
    std::ostream& log = *g_Log;
    const int streamClass = StreamClass(streamId);
    const std::uint32_t startCode = PesStartCode(streamId);
    pts = 0;
    log << std::fixed << std::hex << std::endl;
    log << "FirstPTS " << ClassName(streamClass) << startCode << std::endl;
    log << "try to rewind";
    if (!reader.Rewind()) {
        log << "...failed returning" << std::endl;
        return false;
    }
    log << "...okay" << std::endl;

    // At every start code, so that a sequence header anywhere, inside a
    // payload too, ends a video search: the positions passed over by the seek
    // after each byte hold no 00 00 01, so they hold neither code looked for.
    while (!reader.IsEOBS()) {
        if (reader.PeekUInt32() == startCode) {
            CPESHeader header(reader, streamId);
            if (header.IsValid() && header.GetPTS() != 0) {
                if (streamClass == kClassVideo) {
                    // A candidate: PTS and DTS, and the packet's data begins
                    // with a picture or a sequence header.
                    const std::uint32_t next = reader.PeekUInt32();
                    if ((next == kPictureStartCode || next == kSequenceHeaderCode) &&
                        header.HasDTS()) {
                        pts = static_cast<std::int64_t>(header.GetPTS());
                        log << "found PTS " << static_cast<double>(pts) << std::endl;
                        log << " waiting... for 0x000001B3" << std::endl;
                    }
                } else {
                    pts = static_cast<std::int64_t>(header.GetPTS());
                    log << "found PTS " << static_cast<double>(pts) << std::endl;
                    log << " audio pts... means doodeldee... gotit!!! -> return" << std::endl;
                    return true;
                }
            }
        }
        if (pts != 0 && reader.PeekUInt32() == kSequenceHeaderCode) {
            log << "got 0x000001B3 after PTS " << static_cast<double>(pts) << "... return"
                << std::endl;
            return true;
        }
        reader.SkipByte();
        SeekNextStartCode(reader);
    }
    log << "could not find any PTS that suites... return" << std::endl;
    return false;
}
