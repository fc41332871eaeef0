// mkimage: writes a recorder disk image from a text description, so that the
// program can be tried without a recorder disk.
//
//   mkimage DESCRIPTION IMAGE
//
// The description has one setting per line; '#' starts a comment. Settings
// before the first "recording" line describe the disk, the others the
// recording above them:
//
//   used 4                      used clusters in the table of contents
//   free 1147                   free clusters in the table of contents
//   recording                   starts a recording (slots in order from 0)
//   recno 1                     record number
//   station Demo One            station name (up to 14 bytes)
//   clip Test pattern           title (up to 41 bytes)
//   date 2026 12 7 20 15 0      year month day hour minute second
//   length 0 0 16               hours minutes seconds
//   skip 0 100                  a skip index entry (up to ten)
//   video 5 2                   the video chain's clusters, in chain order
//   audio 3                     the audio chain's clusters
//   videodata FILE [OFFSET]     bytes of FILE placed into the video chain at
//   audiodata FILE [OFFSET]     byte OFFSET of the chain's data (default 0)
//
// Relative FILE paths are taken from the description's folder. The image is
// sparse and ends right after the last byte placed.
#include "image/recorder_image.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

struct Pending {
    image::Recording rec;
    std::vector<int> video, audio;
    int skips = 0;
};

std::vector<int> Numbers(std::istringstream& in) {
    std::vector<int> values;
    int value = 0;
    while (in >> value)
        values.push_back(value);
    return values;
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string Rest(std::istringstream& in) {
    std::string rest;
    std::getline(in >> std::ws, rest);
    return rest;
}

class Description {
  public:
    explicit Description(std::string folder) : base(std::move(folder)) {}

    bool Line(const std::string& line) {
        std::istringstream in(line);
        std::string key;
        if (!(in >> key) || key[0] == '#')
            return true;
        if (key == "used" || key == "free") {
            const auto v = Numbers(in);
            if (v.size() != 1)
                return false;
            (key == "used" ? img.usedClusters : img.freeClusters) =
                static_cast<std::uint16_t>(v[0]);
            return true;
        }
        if (key == "recording") {
            Finish();
            current = Pending{};
            open = true;
            return true;
        }
        if (!open)
            return false;
        return RecordingLine(key, in);
    }

    bool Write(const std::string& path) {
        Finish();
        return ok && img.Write(path);
    }

  private:
    bool RecordingLine(const std::string& key, std::istringstream& in) {
        image::Recording& r = current.rec;
        if (key == "station" || key == "clip") {
            (key == "station" ? r.station : r.clip) = Rest(in);
            return true;
        }
        if (key == "videodata" || key == "audiodata") {
            std::string file;
            std::uint64_t offset = 0;
            in >> file >> offset;
            std::vector<std::uint8_t> bytes;
            if (!ReadFile(file[0] == '/' ? file : base + file, bytes)) {
                std::cerr << "mkimage: cannot read " << file << "\n";
                return false;
            }
            img.PlaceChainData(key == "videodata" ? current.video : current.audio, offset, bytes);
            return true;
        }
        const auto v = Numbers(in);
        if (key == "recno" && v.size() == 1) {
            r.recordNo = static_cast<std::int8_t>(v[0]);
        } else if (key == "date" && v.size() == 6) {
            r.year = static_cast<std::int16_t>(v[0]);
            r.month = static_cast<std::int8_t>(v[1]);
            r.day = static_cast<std::int8_t>(v[2]);
            r.hour = static_cast<std::int8_t>(v[3]);
            r.minute = static_cast<std::int8_t>(v[4]);
            r.second = static_cast<std::int8_t>(v[5]);
        } else if (key == "length" && v.size() == 3) {
            r.lengthHours = static_cast<std::int8_t>(v[0]);
            r.lengthMinutes = static_cast<std::int8_t>(v[1]);
            r.lengthSeconds = static_cast<std::int8_t>(v[2]);
        } else if (key == "skip" && v.size() == 2 && current.skips < 10) {
            r.skip[static_cast<std::size_t>(current.skips++)] = {static_cast<std::int16_t>(v[0]),
                                                                 static_cast<std::int16_t>(v[1])};
        } else if ((key == "video" || key == "audio") && !v.empty()) {
            (key == "video" ? current.video : current.audio) = v;
        } else {
            return false;
        }
        return true;
    }

    void Finish() {
        if (!open)
            return;
        image::Recording& r = current.rec;
        if (!current.video.empty()) {
            r.firstVCluster = static_cast<std::int16_t>(current.video[0]);
            r.vClusters = static_cast<std::int16_t>(current.video.size());
            img.LinkChain(current.video);
        }
        if (!current.audio.empty()) {
            r.firstACluster = static_cast<std::int16_t>(current.audio[0]);
            r.aClusters = static_cast<std::int16_t>(current.audio.size());
            img.LinkChain(current.audio);
        }
        img.AddRecording(r);
        open = false;
    }

    std::string base;
    image::RecorderImage img;
    Pending current;
    bool open = false;
    bool ok = true;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: mkimage DESCRIPTION IMAGE\n";
        return 2;
    }
    const std::string descPath = argv[1];
    std::ifstream desc(descPath);
    if (!desc) {
        std::cerr << "mkimage: cannot read " << descPath << "\n";
        return 1;
    }
    const auto slash = descPath.find_last_of('/');
    Description d(slash == std::string::npos ? "" : descPath.substr(0, slash + 1));
    std::string line;
    for (int number = 1; std::getline(desc, line); ++number) {
        if (!d.Line(line)) {
            std::cerr << "mkimage: " << descPath << ":" << number << ": cannot use: " << line
                      << "\n";
            return 1;
        }
    }
    if (!d.Write(argv[2])) {
        std::cerr << "mkimage: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
