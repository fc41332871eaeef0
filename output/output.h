// Writing an elementary-stream output file. This header is what the other
// subsystems may use of the output.
#pragma once

#include "output/sha256.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Where a COBits without a file of its own hands its bytes, a buffer or a
// long run at a time.
class CByteSink {
  public:
    virtual ~CByteSink() = default;
    virtual void Put(const std::uint8_t* bytes, std::size_t count) = 0;
};

// An output file written one byte at a time through a 64 KiB buffer: the
// file sees one write per 65,536 bytes, and the bytes in the order given.
class COBits {
  public:
    static constexpr std::int32_t kBufferSize = 65536;
    // Runs at least this long go to a sink as they are, not through the buffer.
    static constexpr std::size_t kSinkRunBytes = 4096;

    COBits(std::string fileName, bool& ok);
    // No file: each buffer full, and each long run, goes to the sink instead.
    explicit COBits(CByteSink& sink);
    ~COBits();
    COBits(const COBits&) = delete;
    COBits& operator=(const COBits&) = delete;

    // Appends the low 8 bits of value.
    void WriteByte(int value) {
        if (Buffer == nullptr)
            return; // no file or no buffer: the byte is dropped
        Buffer[Length++] = static_cast<std::uint8_t>(value);
        if (Length == kBufferSize)
            Flush();
    }
    void WriteByte(const char* p) { WriteByte(static_cast<unsigned char>(*p)); }

    // Appends count bytes: the same file, written in the same 64 KiB pieces,
    // as count calls of WriteByte (a sink may get other pieces).
    void Write(const std::uint8_t* bytes, std::size_t count);

    // Writes the file in parts of at most maxBytes each, the part k (from 2)
    // under the name partName(k); a part begins only where Boundary allows.
    void SetParts(std::uint64_t maxBytes, std::function<std::string(int)> partName) {
        PartMax = maxBytes;
        PartName = std::move(partName);
    }
    // A part may begin here, and the next place where one may comes after
    // `run` bytes: a new part begins now when the part being written could
    // not take them. True when it did.
    bool Boundary(std::uint64_t run);
    // The parts written so far (1 without parts).
    int Parts() const { return Part; }

    // Room for the next n bytes in the buffer, to be filled in place and then
    // given with Commit(n): the same file as Write of those bytes. Null when
    // they do not fit before the buffer's end (or there is no buffer).
    std::uint8_t* Room(std::size_t n) {
        return Buffer != nullptr && n <= static_cast<std::size_t>(kBufferSize - Length)
                   ? Buffer + Length
                   : nullptr;
    }
    void Commit(std::size_t n) {
        Length += static_cast<std::int32_t>(n);
        if (Length == kBufferSize)
            Flush();
    }

    void Flush();

    // From now on the SHA-256 of each part is taken as it is written.
    void TakeDigests() { Hash = std::make_unique<CSha256>(); }
    // After the last Flush: the digest of each part in hex, in order (none
    // when not taken).
    std::vector<std::string> Digests();
    // How many bytes have been given to it so far, written or still buffered.
    std::uint64_t Position() const { return Flushed + static_cast<std::uint64_t>(Length); }

    // Whether a write to the file has failed (its bytes are lost), and
    // whether it failed because the disk is full.
    bool WriteFailed() const { return Failed; }
    bool DiskFull() const { return Full; }

  private:
    FileHandle Handle = kInvalidHandle;
    std::uint8_t* Buffer = nullptr;
    std::int32_t Length = 0;
    std::uint64_t Flushed = 0;
    bool Failed = false;
    bool Full = false;
    CByteSink* Sink = nullptr;
    std::uint64_t PartMax = 0; // 0: one file
    std::function<std::string(int)> PartName;
    int Part = 1;
    std::uint64_t PartStart = 0;   // where the part being written begins
    std::unique_ptr<CSha256> Hash; // of the part being written
    std::vector<std::string> PartDigests;
};
