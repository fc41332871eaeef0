// Stations and titles as European broadcasts code them, for the tests that
// take a header to a file name: the header's bytes and the text as read.
#pragma once

#include "image/recorder_image.h"
#include "support/harness.h"

#include <string>
#include <vector>

struct BroadcastTitle {
    std::string station, clip, stationText, clipText;
};

inline const std::vector<BroadcastTitle>& BroadcastTitles() {
    using namespace std::string_literals; // the two-byte text holds zero bytes
    // clang-format off
    static const std::vector<BroadcastTitle> titles = {
        // ISO/IEC 6937, no selector: the accent before its letter, the euro sign at 0xA4.
        {"Das Erste", "Tagesschau \xC8" "Arger \xA4 5", "Das Erste", "Tagesschau Ärger € 5"},
        {"France 2", "Le fran\xCB" "cais \xC1" "a l'\xC2" "ecole", "France 2", "Le français à l'école"},
        // ISO/IEC 8859-2 by its number; UCS-2; 8859-7, -5 and -9 by their selectors; UTF-8.
        {"\x10\x00\x02\xC8T1"s, "\x10\x00\x02Ud\xE1losti \xE8" "esk\xE9 televize"s, "ČT1", "Události české televize"},
        {"TVP 1", "\x11\0W\0i\0a\0d\0o\0m\0o\x01\x5B\0c\0i\0 \0z\0 \x01\x41\0o\0d\0z\0i"s, "TVP 1", "Wiadomości z Łodzi"},
        {"\x03\xC5\xD1\xD4 1", "\x03\xC5\xE9\xE4\xDE\xF3\xE5\xE9\xF2", "ΕΡΤ 1", "Ειδήσεις"},
        {"\x01\xBF\xD5\xE0\xD2\xEB\xD9", "\x01\xBD\xDE\xD2\xDE\xE1\xE2\xD8 \xD4\xDD\xEF", "Первый", "Новости дня"},
        {"TRT 1", "\x05\xDEimdi De\xF0il", "TRT 1", "Şimdi Değil"},
        {"TV5", "\x15Journal : la m\xC3\xA9t\xC3\xA9o", "TV5", "Journal : la météo"},
    };
    // clang-format on
    return titles;
}

// An image of a recording for each title, record numbers 1 on, all of the
// same chains: the MPEG audio and the video fixture in clusters 1 and 2.
inline bool WriteTitlesImage(const std::string& path, const std::vector<BroadcastTitle>& titles) {
    image::RecorderImage img;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        image::Recording rec;
        rec.recordNo = static_cast<std::int8_t>(i + 1);
        rec.station = titles[i].station;
        rec.clip = titles[i].clip;
        rec.firstACluster = 1;
        rec.firstVCluster = 2;
        img.AddRecording(rec);
    }
    img.LinkChain({1});
    img.LinkChain({2});
    img.PlaceChainData({1}, 0, harness::ReadFile(TARNWELL_FIXTURE_DIR "/audio_c0.pes"));
    img.PlaceChainData({2}, 0, harness::ReadFile(TARNWELL_FIXTURE_DIR "/video_e0.pes"));
    return img.Write(path);
}
