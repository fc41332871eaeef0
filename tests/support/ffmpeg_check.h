// Test support: checks an extracted elementary stream (.m2v, .mp2, .ac3) by decoding it with
// ffmpeg, when ffmpeg is installed. Runs it through popen and /bin/sh; on Windows ffmpeg counts
// as not available.
#pragma once

#include <cstdint>
#include <string>

// True when both ffmpeg and ffprobe can be run (looked up once, then remembered).
bool FfmpegAvailable();

struct DecodeResult {
    bool ran = false;           // ffmpeg was found and run
    int exitCode = -1;          // its exit status (-1 when it did not run or was killed)
    std::string errors;         // what it printed at log level "error"; empty for a clean stream
    double durationSeconds = 0; // decoded duration, see DecodeWithFfmpeg
    int64_t frames = 0;         // decoded video pictures (0 for audio)
};

// Decodes the elementary stream at path, which holds one stream, with
//   ffmpeg -nostdin -hide_banner -nostats -v error -progress pipe:1 -i 'file:PATH' -f null -
// collecting stderr as `errors` and reading the progress report from stdout. The duration is
// taken from what was decoded, not from headers:
//   - video: the number of decoded pictures (the last "frame=" of the report; -f null passes
//     every picture through) divided by the frame rate, which comes from
//       ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate
//               -of default=noprint_wrappers=1:nokey=1 'file:PATH'
//     (the end time of the report would include the display delay of the first picture);
//   - audio: the end time of the decoded audio ("out_time_us=" of the report), which for
//     Layer II and AC-3 counts the decoded samples exactly.
// The path is single-quoted for the shell and given with the file: prefix, so blanks, quotes,
// colons and a leading '-' in file names are safe.
DecodeResult DecodeWithFfmpeg(const std::string& path);

// The string quoted for /bin/sh (single quotes, embedded ones escaped).
std::string ShellQuote(const std::string& text);

// The codec names of the streams ffprobe finds in the file, in its order, each followed by a
// blank: "mpeg2video mp2 " ("" when ffprobe is not there or fails).
std::string ProbeCodecs(const std::string& path);

// The duration ffprobe gives the file (format=duration): what a player shows;
// -1 when ffprobe is not there or gives none.
double ProbeDuration(const std::string& path);

// Muxes a video and an audio elementary stream with `ffmpeg -c copy -f dvd` into out; false
// when ffmpeg is not there or fails.
bool MuxDvdWithFfmpeg(const std::string& video, const std::string& audio, const std::string& out);

// Genuine audio made by ffmpeg as a recorder keeps it: `seconds` of a stereo tone with beeps at
// 48 kHz, encoded with `codec` ("mp2fixed" or "ac3_fixed") at `kbps`, carried in a transport
// stream and split into its PES packets by ts_to_pes into BASE.pes and BASE.idx (BASE an absolute
// path, for LoadFixture). With framePerPacket every PES packet holds one frame, otherwise as many
// as ffmpeg puts into one. False when ffmpeg or ts_to_pes fails.
bool EncodeAudioPes(const std::string& codec, int kbps, int seconds, bool framePerPacket,
                    const std::string& base);
