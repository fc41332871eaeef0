// Elementary stream extraction: the CPVRFile operations that identify a
// chain's stream, find its first time stamp and copy it between two time
// stamps are declared with CPVRFile in drive/drive.h; this header gives the
// numbers they share.
#pragma once

#include <cstddef>
#include <cstdint>

// Limits of the start-code searches, in bytes: one cluster when a chain's
// stream id is sought, 10 MiB when an audio ripper looks for its first packet.
constexpr std::int32_t kStreamIdSearchBytes = 0x6400000;
constexpr std::int32_t kAudioResyncBytes = 0xA00000;

// One audio frame as its header describes it: how many bytes it takes and
// how long it plays.
struct AudioFrameInfo {
    std::uint32_t bytes = 0;      // the whole frame, header included
    std::uint32_t samples = 0;    // per channel
    std::uint32_t sampleRate = 0; // in Hz
};

// The MPEG audio frame (Layer I, II or III; MPEG-1, MPEG-2 or 2.5) whose
// header begins at p; false when the bytes are no header with a bit rate,
// a sampling frequency and a layer that give the frame a length.
bool ParseMpegAudioHeader(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame);
// The AC-3 frame whose sync frame begins at p; false when the bytes are no
// AC-3 sync frame header.
bool ParseAC3Header(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame);

// A stream's frame format: its header parser, and how many bytes of a header
// it needs to tell a frame.
struct AudioFormat {
    bool (*parse)(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame);
    std::size_t headerBytes;
};
extern const AudioFormat kMpegAudioFormat;
extern const AudioFormat kAC3Format;

// An audio PTS that falls back by more than two seconds has wrapped.
constexpr std::uint64_t kAudioWrapTicks = 180000;
// A video PTS that falls back by more than one second has wrapped.
constexpr std::int64_t kVideoWrapTicks = 90000;
