#include "output/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TARNWELL_SHA_X86 1
#endif

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes (FIPS 180-4, 4.2.2).
constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The first 32 bits of the fractional parts of the square roots of the first
// eight primes (FIPS 180-4, 5.3.3).
constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline std::uint32_t Big32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// One round of the compression function (6.2.2) on the working variables
// a..h, which the caller passes rotated one place each round instead of
// moving eight words: only d and h change.
inline void Round(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t& d,
                  std::uint32_t e, std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                  std::uint32_t k, std::uint32_t w) {
    const std::uint32_t t1 =
        h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k + w;
    d += t1;
    h = t1 + (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
}

#ifdef TARNWELL_SHA_X86
// Whether the processor has the SHA extensions (CPUID leaf 7, EBX bit 29),
// and the SSE4.1 their use here needs (leaf 1, ECX bit 19).
bool HasShaInstructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & (1u << 19)) == 0)
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;
}

// The same compression function with the SHA instructions: the state kept
// as ABEF and CDGH, four rounds of the message schedule a step, each
// sha256rnds2 doing two rounds. The digest is the plain rounds' bit for bit.
__attribute__((target("sha,sse4.1"))) void
ShaInstructionBlocks(std::uint32_t state[8], const std::uint8_t* data, std::size_t count) {
    // Each 32-bit word of the message is big-endian.
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    dcba = _mm_shuffle_epi32(dcba, 0xB1); // CDAB
    hgfe = _mm_shuffle_epi32(hgfe, 0x1B); // EFGH
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
    for (; count > 0; --count, data += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];
        for (int g = 0; g < 16; ++g) {
            __m128i& words = w[g % 4];
            if (g < 4)
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), swap);
            else
                words = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(words, w[(g + 1) % 4]),
                                  _mm_alignr_epi8(w[(g + 3) % 4], w[(g + 2) % 4], 4)),
                    w[(g + 3) % 4]);
            __m128i message = _mm_add_epi32(
                words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

bool& UseSha() {
#ifdef TARNWELL_SHA_X86
    static bool use = HasShaInstructions();
#else
    static bool use = false;
#endif
    return use;
}

} // namespace

void CSha256::UseShaInstructions(bool use) {
#ifdef TARNWELL_SHA_X86
    UseSha() = use && HasShaInstructions();
#else
    UseSha() = use && false;
#endif
}

void CSha256::Blocks(const std::uint8_t* data, std::size_t count) {
#ifdef TARNWELL_SHA_X86
    if (UseSha()) {
        ShaInstructionBlocks(State, data, count);
        return;
    }
#endif
    PlainBlocks(data, count);
}

void CSha256::Reset() {
    std::memcpy(State, kInitial, sizeof State);
    PendingBytes = 0;
    TotalBytes = 0;
}

void CSha256::Update(const void* data, std::size_t size) {
    if (size == 0)
        return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    TotalBytes += size;
    if (PendingBytes > 0) {
        const std::size_t take = std::min(size, sizeof Pending - PendingBytes);
        std::memcpy(Pending + PendingBytes, p, take);
        PendingBytes += take;
        p += take;
        size -= take;
        if (PendingBytes < sizeof Pending)
            return;
        Blocks(Pending, 1);
        PendingBytes = 0;
    }
    Blocks(p, size / 64);
    PendingBytes = size % 64;
    std::memcpy(Pending, p + size - PendingBytes, PendingBytes);
}

CSha256::Digest CSha256::Final() {
    // The padding (5.1.1): a 1 bit, zeros up to 56 bytes into a block, and
    // the length in bits as 64 bits, most significant first.
    const std::uint64_t bits = TotalBytes * 8;
    static const std::uint8_t kPad[64] = {0x80};
    Update(kPad, PendingBytes < 56 ? 56 - PendingBytes : 120 - PendingBytes);
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    Update(length, 8);
    Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<std::uint8_t>(State[i] >> (24 - 8 * j));
    Reset();
    return digest;
}

std::string CSha256::Hex(const Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

// The compression function over each block: the message schedule W kept as
// a ring of 16 words, the eight working variables in registers, eight rounds
// a step so that none of them is copied.
void CSha256::PlainBlocks(const std::uint8_t* data, std::size_t count) {
    for (; count > 0; --count, data += 64) {
        std::uint32_t w[16];
        for (int t = 0; t < 16; ++t)
            w[t] = Big32(data + 4 * t);
        std::uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
        std::uint32_t e = State[4], f = State[5], g = State[6], h = State[7];
        for (int t = 0; t < 64; t += 8) {
            if (t >= 16) {
                for (int i = t; i < t + 8; ++i) {
                    const std::uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
                    const std::uint32_t s0 = Rotr(w15, 7) ^ Rotr(w15, 18) ^ (w15 >> 3);
                    const std::uint32_t s1 = Rotr(w2, 17) ^ Rotr(w2, 19) ^ (w2 >> 10);
                    w[i & 15] += s0 + w[(i - 7) & 15] + s1;
                }
            }
            const std::uint32_t* k = kRound + t;
            const std::uint32_t* wt = w + (t & 15);
            Round(a, b, c, d, e, f, g, h, k[0], wt[0]);
            Round(h, a, b, c, d, e, f, g, k[1], wt[1]);
            Round(g, h, a, b, c, d, e, f, k[2], wt[2]);
            Round(f, g, h, a, b, c, d, e, k[3], wt[3]);
            Round(e, f, g, h, a, b, c, d, k[4], wt[4]);
            Round(d, e, f, g, h, a, b, c, k[5], wt[5]);
            Round(c, d, e, f, g, h, a, b, k[6], wt[6]);
            Round(b, c, d, e, f, g, h, a, k[7], wt[7]);
        }
        State[0] += a;
        State[1] += b;
        State[2] += c;
        State[3] += d;
        State[4] += e;
        State[5] += f;
        State[6] += g;
        State[7] += h;
    }
}
