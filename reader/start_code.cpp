// Finding start codes in a run of bytes, many bytes a step.
//
// A start code 00 00 01 (id) begins with a zero byte and ends with its last
// byte (01 for the prefix, the id for a whole code); a step in which no zero
// byte has that last byte where it would be holds the start of none. In
// compressed video and audio few positions pass that test, so most of a
// buffer goes by in steps that make it alone; every position of a step that
// passes is tested for the whole code. So the first position found is the
// first at which the code lies, exactly as a search byte by byte finds it.
#include "reader/reader.h"

#include <cstring>

#if defined(__SSE2__) && !defined(TARNWELL_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

namespace {

// The code searched for: 00 00 01, and the id after it when Length is 4.
template <int Length> struct Code {
    std::uint8_t last; // 01 or the id

    bool At(const std::uint8_t* p) const {
        return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[Length - 1] == last;
    }
};

// Byte by byte from `at`, for the last few positions of a run.
template <int Length>
std::size_t FindByBytes(const std::uint8_t* bytes, std::size_t at, std::size_t count,
                        Code<Length> code) {
    for (; at + Length <= count; ++at) {
        if (code.At(bytes + at))
            return at;
    }
    return count;
}

#if defined(__SSE2__) && !defined(TARNWELL_PORTABLE_SCAN)

// SSE2 (every x86-64, Windows builds included): 32 positions a step.
__m128i Load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__m128i Equal(const std::uint8_t* p, __m128i byte) {
    return _mm_cmpeq_epi8(Load(p), byte);
}

// The positions p + k (k < 16) where a zero byte has `last` Length - 1 bytes on.
template <int Length> __m128i Candidates(const std::uint8_t* p, __m128i last) {
    return _mm_and_si128(Equal(p, _mm_setzero_si128()), Equal(p + Length - 1, last));
}

// Bit k set when the whole code begins at p + k (k < 16).
template <int Length> unsigned Matches(const std::uint8_t* p, __m128i last) {
    const __m128i zero = _mm_setzero_si128();
    __m128i match = _mm_and_si128(Candidates<Length>(p, last), Equal(p + 1, zero));
    match = _mm_and_si128(match, Equal(p + 2, _mm_set1_epi8(1)));
    return static_cast<unsigned>(_mm_movemask_epi8(match));
}

template <int Length>
std::size_t Find(const std::uint8_t* bytes, std::size_t count, Code<Length> code) {
    const __m128i last = _mm_set1_epi8(static_cast<char>(code.last));
    std::size_t at = 0;
    // A step reads bytes[at] to bytes[at + Length + 30].
    for (; at + Length + 31 <= count; at += 32) {
        const __m128i candidates = _mm_or_si128(Candidates<Length>(bytes + at, last),
                                                Candidates<Length>(bytes + at + 16, last));
        if (_mm_movemask_epi8(candidates) == 0)
            continue;
        const unsigned mask =
            Matches<Length>(bytes + at, last) | Matches<Length>(bytes + at + 16, last) << 16;
        if (mask != 0)
            return at + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return FindByBytes(bytes, at, count, code);
}

#else

// Anywhere else: 8 positions a step, in 64-bit words. The word at bytes[at]
// and the one Length - 1 bytes on hold a position's first and last byte in
// the same lane, whatever the byte order.
std::uint64_t Word(const std::uint8_t* p) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The high bit of each zero byte of the word (and of no other).
std::uint64_t ZeroBytes(std::uint64_t word) {
    constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7F;
    return ~(((word & kLows) + kLows) | word) & ~kLows;
}

template <int Length>
std::size_t Find(const std::uint8_t* bytes, std::size_t count, Code<Length> code) {
    const std::uint64_t last = std::uint64_t{0x0101010101010101} * code.last;
    std::size_t at = 0;
    for (; at + Length + 7 <= count; at += 8) {
        if ((ZeroBytes(Word(bytes + at)) & ZeroBytes(Word(bytes + at + Length - 1) ^ last)) == 0)
            continue;
        const std::size_t found = FindByBytes(bytes, at, at + Length + 7, code);
        if (found < at + Length + 7)
            return found;
    }
    return FindByBytes(bytes, at, count, code);
}

#endif

} // namespace

std::size_t FindStartCodePrefix(const std::uint8_t* bytes, std::size_t count) {
    return Find(bytes, count, Code<3>{1});
}

std::size_t FindStartCode(const std::uint8_t* bytes, std::size_t count, std::uint8_t id) {
    return Find(bytes, count, Code<4>{id});
}
