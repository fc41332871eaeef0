// The rip job: one recording's audio and video chains into elementary stream
// files named after the recording.
#include "drive/drive.h"
#include "output/output.h"
#include "platform/runlog.h"
#include "reader/reader.h"
#include "rip/rip.h"

#include <iostream>

namespace {

// Whole seconds between two tick readings, in 32-bit tick arithmetic.
void ReportDuration(std::uint32_t startTicks) {
    const std::uint32_t seconds = (PlatTicks() - startTicks) / 1000u;
    std::cout << std::dec << "... it took " << seconds << " seconds..." << std::endl;
    *g_Log << std::dec << "... it took " << seconds << " seconds..." << std::endl;
}

// An output file that could not be created, or whose bytes could not all be
// written, fails the rip: the console says which.
bool CheckOutput(bool created, const COBits& file, const std::string& name) {
    if (!created) {
        ConsoleAndLog("could not create output file " + name);
        return false;
    }
    if (file.WriteFailed()) {
        ConsoleAndLog("could not write all of output file " + name);
        return false;
    }
    return true;
}

// The cut: from the video's first PTS, startSeconds on, to maxPTS. Its
// length counts from the earlier of the two streams. All in 64 bits: a
// length of 4294967295 seconds must not wrap.
struct Cut {
    std::int64_t firstPTS, maxPTS;
};

Cut FindCut(CPVRFile& file, CClusterReader& videoReader, int videoId, CClusterReader& audioReader,
            int audioId, std::uint32_t startSeconds, std::uint32_t lengthSeconds) {
    std::ostream& log = *g_Log;
    std::ostream& con = std::cout;
    con << "try to find first pts for Audio..." << std::endl;
    std::int64_t audioPTS = 0;
    file.FindFirstPTS(audioReader, audioId, audioPTS);
    con << std::fixed << "Audiostream PTS=" << static_cast<double>(audioPTS) << std::endl;
    con << "try to find first pts for Video..." << std::endl;
    std::int64_t videoPTS = 0;
    file.FindFirstPTS(videoReader, videoId, videoPTS);
    con << "Videostream PTS=" << static_cast<double>(videoPTS) << std::endl;

    const std::int64_t earliest = audioPTS < videoPTS ? audioPTS : videoPTS;
    const std::int64_t startTicks = std::int64_t{startSeconds} * kPtsPerSecond;
    const std::int64_t firstPTS = videoPTS + startTicks;
    const std::int64_t maxPTS = earliest + startTicks + std::int64_t{lengthSeconds} * kPtsPerSecond;
    con << "First PTS=" << static_cast<double>(firstPTS) << std::endl;
    con << "Max   PTS=" << static_cast<double>(maxPTS) << std::endl;
    con << std::endl;
    log << "First PTS=" << static_cast<double>(firstPTS) << std::endl;
    log << "Max   PTS=" << static_cast<double>(maxPTS) << std::endl;
    log << std::endl;
    return {firstPTS, maxPTS};
}

// The audio's cut into its file, .mp2 or .ac3: whether it was written whole.
bool RipAudioFile(CPVRFile& file, CClusterReader& audioReader, int audioId, const Cut& cut) {
    std::cout << "now ripping audio" << std::endl;
    const std::uint32_t startTicksAudio = PlatTicks();
    const bool mpegAudio = StreamClass(audioId) == kClassAudio;
    const std::string audioName =
        file.GetOutputName() + (mpegAudio ? kMpegAudioExtension : kAC3Extension);
    bool audioCreated = false;
    auto* audioOut = new COBits(audioName, audioCreated);
    if (mpegAudio)
        file.RipAudioStream(audioReader, *audioOut, audioId, cut.firstPTS, cut.maxPTS);
    else
        file.RipPrivateStream(audioReader, *audioOut, audioId, cut.firstPTS, cut.maxPTS);
    ReportDuration(startTicksAudio);
    audioOut->Flush();
    const bool audioOk = CheckOutput(audioCreated, *audioOut, audioName);
    delete audioOut;
    return audioOk;
}

// The video's cut into its .m2v file: whether it was written whole.
bool RipVideoFile(CPVRFile& file, CClusterReader& videoReader, int videoId, const Cut& cut) {
    std::cout << "now ripping video" << std::endl;
    const std::uint32_t startTicksVideo = PlatTicks();
    const std::string videoName = file.GetOutputName() + kVideoExtension;
    bool videoCreated = false;
    auto* videoOut = new COBits(videoName, videoCreated);
    file.RipVideoStream(videoReader, *videoOut, videoId, cut.firstPTS, cut.maxPTS);
    // 00 00 01 B7: the sequence end code closes the video stream.
    videoOut->WriteByte(0x00);
    videoOut->WriteByte(0x00);
    videoOut->WriteByte(0x01);
    videoOut->WriteByte(0xB7);
    videoOut->Flush();
    const bool videoOk = CheckOutput(videoCreated, *videoOut, videoName);
    delete videoOut;
    ReportDuration(startTicksVideo);
    return videoOk;
}

} // namespace

bool CPVRFile::Rip(std::uint32_t startSeconds, std::uint32_t lengthSeconds) {
    std::ostream& log = *g_Log;
    std::ostream& con = std::cout;
    PrintInfo(con, false);
    PrintInfo(log, false);
    con.precision(0);
    con << "analizing streams..." << std::endl;

    auto* videoReader = new CClusterReader(m_Drive, FirstVCluster());
    int videoId = 0;
    GetStreamIDs(*videoReader, videoId);
    videoReader->Rewind();
    auto* audioReader = new CClusterReader(m_Drive, FirstACluster());
    int audioId = 0;
    GetStreamIDs(*audioReader, audioId);
    audioReader->Rewind();

    con << std::hex;
    log << std::hex;
    log << "Videostream=" << videoId << " " << std::endl;
    con << "Videostream=" << videoId << " " << std::endl;
    log << "Audiostream=" << audioId << " " << std::endl;
    con << "Audiostream=" << audioId << " " << std::endl;

    bool ok = false;
    if (audioId == 0 || videoId == 0) {
        con << "can't go on..." << std::endl;
        log << "can't go on..." << std::endl;
    } else {
        const Cut cut = FindCut(*this, *videoReader, videoId, *audioReader, audioId, startSeconds,
                                lengthSeconds);
        const bool audioOk = RipAudioFile(*this, *audioReader, audioId, cut);
        const bool videoOk = RipVideoFile(*this, *videoReader, videoId, cut);
        ok = audioOk && videoOk;
    }

    con << "cleaning up" << std::endl;
    delete videoReader;
    delete audioReader;
    return ok;
}
