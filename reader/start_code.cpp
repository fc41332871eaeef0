// Finding the start-code prefix 00 00 01 in a run of bytes, many bytes a step.
//
// A prefix starts with a zero byte, so a stretch of bytes without one holds
// the start of none; compressed video and audio have few zeros, and most of a
// buffer goes by in steps that only test for them. Where a step sees a zero,
// every position of the step is tested for the whole prefix. So the first
// position found is the first position at which 00 00 01 lies, exactly as a
// search byte by byte finds it.
#include "reader/reader.h"

#include <cstring>

#if defined(__SSE2__) && !defined(TARNWELL_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

namespace {

// Byte by byte, for the last few positions of a run.
std::size_t FindByBytes(const std::uint8_t* bytes, std::size_t at, std::size_t count) {
    for (; at + 3 <= count; ++at) {
        if (bytes[at] == 0 && bytes[at + 1] == 0 && bytes[at + 2] == 1)
            return at;
    }
    return count;
}

#if defined(__SSE2__) && !defined(TARNWELL_PORTABLE_SCAN)

// 16 positions as a mask of 16 bits: bit k set when 00 00 01 starts at p + k.
// Reads p[0] to p[17].
int PrefixMask(const std::uint8_t* p) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const __m128i at0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i at1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i at2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i match =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(at0, zero), _mm_cmpeq_epi8(at1, zero)),
                      _mm_cmpeq_epi8(at2, one));
    return _mm_movemask_epi8(match);
}

// SSE2 (every x86-64, Windows builds included): 32 positions a step.
std::size_t FindByVectors(const std::uint8_t* bytes, std::size_t count) {
    const __m128i zero = _mm_setzero_si128();
    std::size_t at = 0;
    for (; at + 34 <= count; at += 32) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 16));
        const __m128i zeros = _mm_or_si128(_mm_cmpeq_epi8(low, zero), _mm_cmpeq_epi8(high, zero));
        if (_mm_movemask_epi8(zeros) == 0)
            continue;
        const unsigned mask = static_cast<unsigned>(PrefixMask(bytes + at)) |
                              static_cast<unsigned>(PrefixMask(bytes + at + 16)) << 16;
        if (mask != 0)
            return at + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return FindByBytes(bytes, at, count);
}

#else

// Anywhere else: 8 positions a step, in a 64-bit word. A byte of the word is
// zero exactly when the high bit of its byte in (w - 0x01..01) & ~w is set.
std::size_t FindByWords(const std::uint8_t* bytes, std::size_t count) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighs = 0x8080808080808080;
    std::size_t at = 0;
    for (; at + 10 <= count; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + at, sizeof word);
        if (((word - kOnes) & ~word & kHighs) == 0)
            continue;
        const std::size_t found = FindByBytes(bytes, at, at + 10);
        if (found < at + 10)
            return found;
    }
    return FindByBytes(bytes, at, count);
}

#endif

} // namespace

std::size_t FindStartCodePrefix(const std::uint8_t* bytes, std::size_t count) {
#if defined(__SSE2__) && !defined(TARNWELL_PORTABLE_SCAN)
    return FindByVectors(bytes, count);
#else
    return FindByWords(bytes, count);
#endif
}
