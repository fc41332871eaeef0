// A bit reader over one buffer of bytes, most significant bit first. Reading
// past the end gives zeros and marks the reader as overrun, so that a damaged
// stream ends the slice that reads it, never the program. Used only inside
// picture/.
#pragma once

#include <cstddef>
#include <cstdint>

class CBitReader {
  public:
    CBitReader(const std::uint8_t* data, std::size_t size) : Data(data), Size(size) {}

    // The next n bits (1 <= n <= 24) without passing over them.
    std::uint32_t Peek(int n) const { return Window() >> (32 - n); }
    void Skip(int n) { Pos += static_cast<std::size_t>(n); }
    std::uint32_t Read(int n) {
        const std::uint32_t bits = Peek(n);
        Skip(n);
        return bits;
    }
    // True once the reader has passed the end of the buffer.
    bool Overrun() const { return Pos > Size * 8; }
    // True when the next 23 bits are zeros: the slice ends there (the start
    // code that follows it, or the end of the buffer, which reads as zeros).
    bool AtSliceEnd() const { return Peek(23) == 0; }

  private:
    // The 32 bits from the reader's position, zeros past the end.
    std::uint32_t Window() const {
        const std::size_t byte = Pos >> 3;
        std::uint64_t word = 0;
        if (byte + 8 <= Size) { // most of the time: eight bytes at once
            for (std::size_t i = 0; i < 8; ++i)
                word = word << 8 | Data[byte + i];
            return static_cast<std::uint32_t>((word << (Pos & 7)) >> 32);
        }
        for (std::size_t i = 0; i < 5; ++i)
            word = word << 8 | (byte + i < Size ? Data[byte + i] : 0u);
        return static_cast<std::uint32_t>(word >> (8 - (Pos & 7)));
    }

    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t Pos = 0;
};
