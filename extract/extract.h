// Elementary stream extraction: the CPVRFile operations that identify a
// chain's stream, find its first time stamp and copy it between two time
// stamps are declared with CPVRFile in drive/drive.h; this header gives the
// numbers they share.
#pragma once

#include <cstdint>

// Limits of the start-code searches, in bytes: one cluster when a chain's
// stream id is sought, 10 MiB when an audio ripper looks for its first packet.
constexpr std::int32_t kStreamIdSearchBytes = 0x6400000;
constexpr std::int32_t kAudioResyncBytes = 0xA00000;

// The gap fillers' idea of a frame: AC-3 at 448 kbit/s and MPEG-1 Layer II
// at 192 kbit/s, both at 48 kHz.
constexpr int kAC3FrameTicks = 2880; // 32 ms
constexpr int kAC3FrameBytes = 1792;
constexpr int kMpegAudioFrameTicks = 2160; // 24 ms
constexpr int kMpegAudioFrameBytes = 576;

// An audio PTS that falls back by more than two seconds has wrapped.
constexpr std::uint64_t kAudioWrapTicks = 180000;
// A video PTS that falls back by more than one second has wrapped.
constexpr std::int64_t kVideoWrapTicks = 90000;
