// The digest of an output file as it is written: SHA-256, against which a
// later copy of the file can be checked (the report of a run gives it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4) of a stream of bytes given in pieces of any size, as
// a file is written. Whole blocks of 64 bytes are hashed where they lie;
// only a piece's ragged ends are copied.
class CSha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    CSha256() { Reset(); }

    // The next bytes of the stream.
    void Update(const void* data, std::size_t size);
    // The digest of all the bytes given since the start; the hash then starts
    // over with no bytes.
    Digest Final();

    // The digest as sha256sum writes it: 64 lowercase hex digits.
    static std::string Hex(const Digest& digest);

    // Whether the processor's SHA instructions are used where it has them
    // (the default); off, every block goes through the plain rounds.
    static void UseShaInstructions(bool use);

  private:
    void Reset();
    // Hashes `count` blocks of 64 bytes at `data`.
    void Blocks(const std::uint8_t* data, std::size_t count);
    void PlainBlocks(const std::uint8_t* data, std::size_t count);

    std::uint32_t State[8];
    std::uint8_t Pending[64]; // the front of a block not yet whole
    std::size_t PendingBytes = 0;
    std::uint64_t TotalBytes = 0;
};
