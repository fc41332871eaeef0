// The rip job. CPVRFile::Rip and CPVRFile::GetOutputName are declared with
// CPVRFile in drive/drive.h; this header gives the extensions of the files.
#pragma once

#include "picture/picture.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr const char* kMpegAudioExtension = ".mp2";
constexpr const char* kAC3Extension = ".ac3";
constexpr const char* kVideoExtension = ".m2v";

class CPVRFile;

constexpr const char* kProgramStreamExtension = ".mpg";
// What a file is called while it is written: the name it gets when complete,
// with this after it.
constexpr const char* kPartialExtension = ".part";

// A stretch of a recording that its file could not take as the disk holds
// it: bytes that could not be read (zeros in their place), or a run of
// zeros that the recording went on across, left out of the file.
struct RecordingDamage {
    enum class Kind { Unreadable, ZerosLeftOut };
    Kind kind = Kind::Unreadable;
    bool video = true;                        // in the video chain, else the sound's
    std::uint64_t driveFrom = 0, driveTo = 0; // drive bytes [from, to)
    double from = 0, to = 0;                  // seconds into the file
};

// The stretch in words, for the run log and the page: "0:12:30 to 0:12:45:
// 4.1 MB could not be read (video, drive bytes N to M)", or "... 2.0 MB of zeros
// left out (...)"; times as h:mm:ss.
std::string DamageText(const RecordingDamage& damage);
// The size of a file, through the platform's file names (0: none).
std::uint64_t FileBytes(const std::string& name);
// Seconds as "h:mm:ss".
std::string ClockText(double seconds);

// Where one chain's stream was taken from: the drive byte ranges [first,
// second) that the file's stream was read from, in order.
struct ChainSource {
    bool video = true;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
};

// What became of the rescue of one recording.
struct RescueResult {
    // Stopped: the disk stopped answering during the rescue; no file is left.
    enum class Outcome { Ok, Incomplete, Failed, DiskFull, Stopped };
    Outcome outcome = Outcome::Failed;
    std::string reason;             // why it failed
    double minutes = 0;             // how long the file plays
    std::uint64_t bytes = 0;        // the size of the file (of all its parts)
    std::vector<std::string> files; // the file, or its parts in order
    std::uint64_t unreadable = 0;   // bytes of the recording that could not be read
    // Pictures from the video, spread over its length, when they were asked
    // for: up to kRescuePictures of them, one a group of pictures.
    std::vector<CPictureAt> pictures;
    std::string noPictures;              // why there are none, when there are none
    std::vector<RecordingDamage> damage; // in the order of the drive bytes, video first
    std::vector<ChainSource> sources;    // the video's, then the sound's
    std::vector<std::string> digests;    // SHA-256 of each file, in hex
    std::uint64_t bytesRead = 0;         // of the drive, for this recording
};

// How many pictures of each recording a rescue makes when asked.
constexpr std::size_t kRescuePictures = 6;

// How a recording is rescued.
struct RescueChoices {
    // With partBytes, the file is written in parts of at most that many
    // bytes (see RescueRecording).
    std::uint64_t partBytes = 0;
    // Pictures from the video it copies (no more is read for them).
    bool pictures = false;
    // The SHA-256 of each file, taken as it is written (for the report).
    bool digests = false;
    // How long the recording is thought to last where its header does not
    // say (seconds; 0: not known), for the spacing of the pictures.
    double seconds = 0;
};

// Told now and then how far a rescue is: the share of the recording's chains
// read so far, and the bytes read.
class CRescueProgress {
  public:
    virtual ~CRescueProgress() = default;
    virtual void Update(double done, std::uint64_t bytesRead) = 0;
};

// Rescues one recording into the program stream `fileName`: the video as
// rip writes the .m2v and the audio as it writes the .mp2 or .ac3, from the
// first picture up to the recording's end, which the data tells (see
// CRecordingEnd), across clock jumps. The file is written under a
// temporary name and renamed when complete; on failure nothing of it stays.
// The rip's messages go to the run log, and to the console as the rip writes
// them: the caller decides where the console goes.
// With choices.partBytes, the file is written in parts of at most that many bytes,
// each cut where a part can play on its own: fileName, then its name with
// " (part 2)" and so on before the extension; they are renamed when all are
// complete, the first one last.
RescueResult RescueRecording(CPVRFile& file, const std::string& fileName, CRescueProgress& progress,
                             const RescueChoices& choices = {});

// A recording's chains as a survey of the disk found them.
struct RecordingChains {
    std::vector<std::int32_t> video, audio;
    double seconds = 0; // how long the survey saw it last, where no header says (0: not known)
};

// The same for a recording given by its chains: its header (which may be
// all zeros) only gives the length that helps to tell its end.
RescueResult RescueRecording(CPVRFile& file, const RecordingChains& chains,
                             const std::string& fileName, CRescueProgress& progress,
                             const RescueChoices& choices = {});

// The name of part `part` (from 1) of the file fileName.
std::string PartFileName(const std::string& fileName, int part);

// Base name of a recording's files from its title as a person reads it (the
// broadcast's text in UTF-8): the record number as GetOutputName gives it,
// then the title, with the characters a file name cannot hold as blanks.
std::string TitledOutputName(const CPVRFile& file, const std::string& title);
