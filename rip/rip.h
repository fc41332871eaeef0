// The rip job. CPVRFile::Rip and CPVRFile::GetOutputName are declared with
// CPVRFile in drive/drive.h; this header gives the extensions of the files.
#pragma once

constexpr const char* kMpegAudioExtension = ".mp2";
constexpr const char* kAC3Extension = ".ac3";
constexpr const char* kVideoExtension = ".m2v";
