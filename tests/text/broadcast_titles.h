// Titles and stations as broadcasts in Europe code them, for the tests that
// take a recording's header to its file name: each with the bytes the
// recorder copies into the header and the text a person reads.
#pragma once

#include <string>
#include <vector>

struct BroadcastTitle {
    std::string station, clip;         // the header's bytes
    std::string stationText, clipText; // as read, in UTF-8
};

// One recording a title, record numbers 1 on. std::string holds the zero
// bytes of a two-byte text.
inline const std::vector<BroadcastTitle>& BroadcastTitles() {
    using namespace std::string_literals;
    static const std::vector<BroadcastTitle> titles = {
        // ISO/IEC 6937, the default table: the accent before its letter.
        {"Das Erste",
         "Tagesschau \xC8"
         "Arger \xA4 5",
         "Das Erste", "Tagesschau Ärger € 5"},
        {"France 2",
         "Le fran\xCB"
         "cais \xC1"
         "a l'\xC2"
         "ecole",
         "France 2", "Le français à l'école"},
        // ISO/IEC 8859-2 by its number.
        {"\x10\x00\x02\xC8T1"s,
         "\x10\x00\x02Ud\xE1losti \xE8"
         "esk\xE9 televize"s,
         "ČT1", "Události české televize"},
        // Two bytes a character: the text holds zero bytes.
        {"TVP 1",
         "\x11\x00W\x00i\x00"
         "a\x00"
         "d\x00o\x00m\x00o\x01\x5B\x00"
         "c\x00i\x00 \x00z\x00 \x01\x41\x00o\x00"
         "d\x00z\x00i"s,
         "TVP 1", "Wiadomości z Łodzi"},
        // ISO/IEC 8859-7, -5 and -9 by their selectors.
        {"\x03\xC5\xD1\xD4 1", "\x03\xC5\xE9\xE4\xDE\xF3\xE5\xE9\xF2", "ΕΡΤ 1", "Ειδήσεις"},
        {"\x01\xBF\xD5\xE0\xD2\xEB\xD9", "\x01\xBD\xDE\xD2\xDE\xE1\xE2\xD8 \xD4\xDD\xEF", "Первый",
         "Новости дня"},
        {"TRT 1", "\x05\xDEimdi De\xF0il", "TRT 1", "Şimdi Değil"},
        // UTF-8 by its selector, with a character a file name cannot hold.
        {"TV5", "\x15Journal : la m\xC3\xA9t\xC3\xA9o", "TV5", "Journal : la météo"},
    };
    return titles;
}
