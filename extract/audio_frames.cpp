// The lengths and durations of MPEG audio and AC-3 frames, read from their
// headers, for the gap fillers that repeat whole frames.
#include "extract/extract.h"

namespace {

constexpr std::size_t kMpegAudioHeaderBytes = 4;
constexpr std::size_t kAC3HeaderBytes = 6;

// MPEG audio version ids ('00' MPEG-2.5, '01' reserved, '10' MPEG-2, '11'
// MPEG-1) and layer ids ('01' Layer III, '10' Layer II, '11' Layer I).
constexpr unsigned kMpeg1 = 3;
constexpr unsigned kMpeg2 = 2;
constexpr unsigned kLayerI = 3;
constexpr unsigned kLayerIII = 1;

// Bit rates in kbit/s by bitrate_index 1 to 14 (0 is free format, 15 not
// allowed): MPEG-1 Layers I, II, III, then the lower sampling frequencies'
// Layer I and Layers II and III.
constexpr unsigned kMpegBitRates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
constexpr unsigned kMpeg1SampleRates[3] = {44100, 48000, 32000};

unsigned MpegBitRate(unsigned version, unsigned layer, unsigned index) {
    if (version == kMpeg1)
        return kMpegBitRates[3 - layer][index];
    return kMpegBitRates[layer == kLayerI ? 3 : 4][index];
}

// AC-3 bit rates in kbit/s by frmsizecod / 2.
constexpr unsigned kAC3BitRates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                       192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr unsigned kAC3SampleRates[3] = {48000, 44100, 32000};
constexpr unsigned kAC3SamplesPerFrame = 1536;
constexpr unsigned kAC3HighestBsid = 10; // later bsids are another bit stream syntax

} // namespace

bool ParseMpegAudioHeader(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame) {
    if (available < kMpegAudioHeaderBytes)
        return false;
    // syncword '1111 1111 111' version[2] layer[2] protection_bit
    // bitrate_index[4] sampling_frequency[2] padding_bit private_bit ...
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    const unsigned version = (p[1] >> 3) & 3;
    const unsigned layer = (p[1] >> 1) & 3;
    const unsigned bitRateIndex = p[2] >> 4;
    const unsigned rateIndex = (p[2] >> 2) & 3;
    const unsigned padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitRateIndex == 0 || bitRateIndex == 15 || rateIndex == 3)
        return false;
    const unsigned divisor = version == kMpeg1 ? 1 : version == kMpeg2 ? 2 : 4;
    const unsigned sampleRate = kMpeg1SampleRates[rateIndex] / divisor;
    const unsigned bitRate = MpegBitRate(version, layer, bitRateIndex) * 1000;
    if (layer == kLayerI) {
        frame.samples = 384;
        frame.bytes = (12 * bitRate / sampleRate + padding) * 4; // slots of 4 bytes
    } else {
        // Layer II has 1152 samples a frame at every sampling frequency; Layer
        // III at the lower ones codes one granule of 576.
        frame.samples = layer == kLayerIII && version != kMpeg1 ? 576 : 1152;
        frame.bytes = frame.samples / 8 * bitRate / sampleRate + padding;
    }
    frame.sampleRate = sampleRate;
    return true;
}

bool ParseAC3Header(const std::uint8_t* p, std::size_t available, AudioFrameInfo& frame) {
    if (available < kAC3HeaderBytes)
        return false;
    // syncword 0x0B77, crc1[16], fscod[2] frmsizecod[6], bsid[5] bsmod[3]
    if (p[0] != 0x0B || p[1] != 0x77)
        return false;
    const unsigned fscod = p[4] >> 6;
    const unsigned frmsizecod = p[4] & 0x3F;
    const unsigned bsid = p[5] >> 3;
    if (fscod == 3 || frmsizecod >= 2 * 19 || bsid > kAC3HighestBsid)
        return false;
    const unsigned bitRate = kAC3BitRates[frmsizecod / 2];
    // Frame sizes in 16-bit words: 2, 320/147 (padded by the odd codes) and 3
    // words per kbit/s at 48, 44.1 and 32 kHz.
    unsigned words = 0;
    if (fscod == 0)
        words = 2 * bitRate;
    else if (fscod == 1)
        words = 320 * bitRate / 147 + (frmsizecod & 1);
    else
        words = 3 * bitRate;
    frame.bytes = 2 * words;
    frame.samples = kAC3SamplesPerFrame;
    frame.sampleRate = kAC3SampleRates[fscod];
    return true;
}

const AudioFormat kMpegAudioFormat = {ParseMpegAudioHeader, kMpegAudioHeaderBytes};
const AudioFormat kAC3Format = {ParseAC3Header, kAC3HeaderBytes};
