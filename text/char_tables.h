// The character tables of broadcast text (ETSI EN 300 468 Annex A): the upper
// halves, 0xA0 to 0xFF, of the single-byte tables, 96 characters each, and
// the non-spacing accents of ISO/IEC 6937 with the letters they make. The
// lower halves, 0x20 to 0x7E, are ASCII in every table. Used only inside text/.
#pragma once

#include <cstddef>
#include <cstdint>

// The characters of one upper half; 0 where the table has none.
constexpr std::size_t kTableSize = 96;
constexpr std::uint8_t kTableFirst = 0xA0;
using CharTable = char16_t[kTableSize];

// ISO/IEC 6937 as broadcast text has it: the euro sign at 0xA4, and at 0xC1
// to 0xCF the non-spacing accents, given here by their combining marks.
extern const CharTable kIso6937;

// The upper half of ISO/IEC 8859-part; null for a part there is none of
// (0, 12, above 15).
const CharTable* Iso8859Table(int part);

// One non-spacing accent of ISO/IEC 6937: its byte, its combining mark, the
// accent on its own (before a blank), and the precomposed letters it makes:
// composed[i] is the accent on the letter bases[i].
struct Accent {
    std::uint8_t byte;
    char16_t combining;
    char16_t spacing;
    const char* bases;
    const char16_t* composed;
};

// The accent of a byte of ISO/IEC 6937; null when the byte is none.
const Accent* Iso6937Accent(std::uint8_t byte);
