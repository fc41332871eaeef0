// Test support: reads an MPEG-2 program stream of 2048-byte packs back into
// what it carries: the packs with their SCR and mux rate, the system header,
// and per stream the PES packets with their time stamps and the payload.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ps {

struct Pes {
    std::size_t pack;              // index of the pack that holds it
    int64_t scr;                   // that pack's SCR, 27 MHz
    int64_t pts = -1, dts = -1;    // 33-bit, -1 when absent
    int64_t bufferBytes = -1;      // P-STD_buffer_size when the packet gives it
    uint64_t offset = 0;           // where its payload begins in the stream's payload
    uint64_t size = 0;             // payload bytes
    int frames = -1, pointer = -1; // AC-3: frame headers, first access unit pointer
};

struct Stream {
    std::vector<uint8_t> payload;
    std::vector<Pes> packets;
};

struct Program {
    std::string error; // empty when the whole file read as packs
    std::size_t packs = 0;
    std::vector<int64_t> scr;      // per pack, 27 MHz
    std::vector<uint32_t> muxRate; // per pack, 50 bytes/s
    bool systemHeader = false;     // in the first pack
    uint32_t rateBound = 0;
    int audioBound = -1, videoBound = -1;
    std::map<int, int64_t> bufferBounds; // system header: stream id -> bytes
    std::map<int, Stream> streams;       // by stream id; private stream 1 as 0x100 + sub-stream
};

// Reads the file; every pack must be 2048 bytes and filled by its packets.
Program Read(const std::string& path);

} // namespace ps
