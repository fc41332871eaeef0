// The image command: a rescue image of just what the recordings need (the
// disk's structures and every cluster of their chains), with a GNU ddrescue
// map beside it, for a disk that every further read makes worse.
#include "app/app.h"
#include "imaging/imaging.h"
#include "platform/runlog.h"
#include "text/clock.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

namespace {

// One progress line: on a terminal it overwrites itself a few times a
// second, elsewhere a plain line is written for every 5 percent and at the
// start of each pass.
class CImageProgressLine : public CImageProgressShow {
  public:
    // Each copy starts a line of its own.
    void Begin() override { *this = CImageProgressLine(); }
    void End() override { Finish(); }
    void Progress(const ImageProgress& p) override {
        const bool newPass = !Drawn || p.PassNumber != Pass;
        Pass = p.PassNumber;
        if (Terminal) {
            if (!newPass && p.Ms - DrawnAt < kRedrawMs && p.Left > 0)
                return;
            // Blanks after the text and the cursor back at the line's start:
            // a message written meanwhile covers the line instead of
            // running on after it.
            std::cout << Text(p) << "    \r" << std::flush;
            Drawn = true;
            DrawnAt = p.Ms;
            return;
        }
        const std::uint64_t step = p.Wanted == 0 ? kSteps : p.Done * kSteps / p.Wanted;
        if (!newPass && step == Step)
            return;
        std::cout << Text(p) << std::endl;
        Drawn = true;
        Step = step;
    }
    // The last state stays on the terminal.
    void Finish() {
        if (Terminal && Drawn)
            std::cout << std::endl;
    }

  private:
    static constexpr std::uint32_t kRedrawMs = 250;
    static constexpr std::uint64_t kSteps = 20;

    static std::string Text(const ImageProgress& p) {
        char line[240];
        const double mbPerS = p.Ms == 0 ? 0.0 : static_cast<double>(p.ReadNow) / 1000.0 / p.Ms;
        std::snprintf(line, sizeof line,
                      "pass %d, %s: %.1f of %.1f MB copied, %.1f MB/s, %s left, %llu bytes "
                      "unreadable, %.1f MB to go in this pass",
                      p.PassNumber, p.Pass, static_cast<double>(p.Done) / 1e6,
                      static_cast<double>(p.Wanted) / 1e6, mbPerS, TimeLeft(p).c_str(),
                      static_cast<unsigned long long>(p.Unreadable),
                      static_cast<double>(p.Left) / 1e6);
        return line;
    }
    static std::string TimeLeft(const ImageProgress& p) {
        if (p.ReadNow == 0 || p.Ms == 0)
            return "-:--:--";
        const double seconds = static_cast<double>(p.Wanted - p.Done) * p.Ms /
                               static_cast<double>(p.ReadNow) / 1000.0;
        return ClockText(seconds, ClockHours::Always, ClockSeconds::Cut);
    }

    bool Terminal = PlatConsoleIsTerminal();
    bool Drawn = false;
    int Pass = 0;
    std::uint32_t DrawnAt = 0;
    std::uint64_t Step = 0;
};

} // namespace

int ImageUsage() {
    std::cout << "Usage:" << std::endl;
    std::cout << "tarnwell image [--survey] drivename imagefile" << std::endl;
    std::cout << "to copy what the recordings need into a rescue image, with its map" << std::endl;
    std::cout << "--survey: also the clusters that a survey finds to hold recordings, deleted ones"
              << std::endl;
    std::cout << "too" << std::endl;
    return kExitFailed;
}

int ImageCommand(int argc, const char* const* argv) {
    std::vector<std::string> words;
    bool surveyAll = false;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--survey")
            surveyAll = true;
        else if (word.size() > 1 && word[0] == '-')
            return ImageUsage();
        else
            words.push_back(word);
    }
    if (words.size() != 2)
        return ImageUsage();
    const std::string drivePath = DrivePath(words[0]);
    const std::string& imagePath = words[1];
    if (PlatSameFile(drivePath, imagePath)) {
        ConsoleAndLog(imagePath + " is drive " + drivePath +
                      " itself: the image must be another file");
        return kExitFailed;
    }
    ImageJob job;
    job.drivePath = drivePath;
    job.imagePath = imagePath;
    job.mapPath = MapFor(imagePath);
    job.surveyAll = surveyAll;
    if (job.mapPath.empty())
        return kExitFailed;
    CDriveSession session;
    CImageProgressLine progress;
    const int status = ImageDrive(session, job, progress);
    return ReportUnreadable(session, status);
}
