#include "ffmpeg_check.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct CommandOutput {
    bool started = false;
    int exitCode = -1;
    std::string text; // what the command wrote to stdout
};

#ifdef _WIN32
// The checks need a POSIX shell; on Windows ffmpeg counts as not available.
CommandOutput Run(const std::string&) {
    return CommandOutput{};
}
#else
CommandOutput Run(const std::string& command) {
    CommandOutput result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.text.append(buffer, n);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
        result.started = result.exitCode != 127; // 127: the shell did not find the program
    } else {
        result.started = status != -1;
    }
    return result;
}
#endif

// Value of the last "key=value" line for key in a progress report, or "" when absent.
std::string LastValue(const std::string& report, const std::string& key) {
    const std::string prefix = key + "=";
    std::string value;
    size_t pos = 0;
    while (pos < report.size()) {
        size_t end = report.find('\n', pos);
        if (end == std::string::npos)
            end = report.size();
        if (report.compare(pos, prefix.size(), prefix) == 0)
            value = report.substr(pos + prefix.size(), end - pos - prefix.size());
        pos = end + 1;
    }
    while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
        value.pop_back();
    return value;
}

// Parses a frame rate as ffprobe writes it ("25/1", "30000/1001"); 0 when unusable.
double ParseRate(const std::string& text) {
    const size_t slash = text.find('/');
    const double num = std::strtod(text.c_str(), nullptr);
    const double den =
        slash == std::string::npos ? 1.0 : std::strtod(text.c_str() + slash + 1, nullptr);
    return den > 0 && num > 0 ? num / den : 0;
}

// Creates an empty temporary file and sets path to its name.
bool MakeTempFile(std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/tarnwell-ffmpeg-XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0)
        return false;
    close(fd);
    return true;
#endif
}

} // namespace

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

bool FfmpegAvailable() {
    static const bool available = [] {
        const CommandOutput ffmpeg = Run("ffmpeg -hide_banner -version 2>/dev/null");
        const CommandOutput ffprobe = Run("ffprobe -hide_banner -version 2>/dev/null");
        return ffmpeg.exitCode == 0 && ffmpeg.text.compare(0, 14, "ffmpeg version") == 0 &&
               ffprobe.exitCode == 0 && ffprobe.text.compare(0, 15, "ffprobe version") == 0;
    }();
    return available;
}

DecodeResult DecodeWithFfmpeg(const std::string& path) {
    DecodeResult result;
    if (!FfmpegAvailable())
        return result;

    // stderr goes to a temporary file so that it stays apart from the progress report.
    std::string errorFile;
    if (!MakeTempFile(errorFile))
        return result;

    const std::string input = ShellQuote("file:" + path);
    const CommandOutput decode =
        Run("ffmpeg -nostdin -hide_banner -nostats -v error -progress pipe:1 -i " + input +
            " -f null - 2>" + ShellQuote(errorFile));
    {
        std::ifstream in(errorFile, std::ios::binary);
        result.errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(errorFile.c_str());

    result.ran = decode.started;
    result.exitCode = decode.exitCode;
    if (!result.ran)
        return result;

    const std::string frames = LastValue(decode.text, "frame");
    result.frames = frames.empty() ? 0 : std::strtoll(frames.c_str(), nullptr, 10);
    if (result.frames > 0) {
        const CommandOutput probe =
            Run("ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate "
                "-of default=noprint_wrappers=1:nokey=1 " +
                input + " 2>/dev/null");
        const double rate = ParseRate(probe.text.substr(0, probe.text.find('\n')));
        if (rate > 0)
            result.durationSeconds = static_cast<double>(result.frames) / rate;
    } else {
        const std::string outTime = LastValue(decode.text, "out_time_us");
        const double microseconds = std::strtod(outTime.c_str(), nullptr); // 0 for "N/A"
        if (microseconds > 0)
            result.durationSeconds = microseconds / 1e6;
    }
    return result;
}

std::string ProbeCodecs(const std::string& path) {
    if (!FfmpegAvailable())
        return "";
    const CommandOutput probe = Run("ffprobe -v error -show_entries stream=codec_name "
                                    "-of default=noprint_wrappers=1:nokey=1 " +
                                    ShellQuote("file:" + path) + " 2>/dev/null");
    std::string codecs;
    for (char c : probe.text)
        codecs += c == '\n' ? ' ' : c;
    return probe.exitCode == 0 ? codecs : "";
}

double ProbeDuration(const std::string& path) {
    if (!FfmpegAvailable())
        return -1;
    const CommandOutput probe = Run("ffprobe -v error -show_entries format=duration "
                                    "-of default=noprint_wrappers=1:nokey=1 " +
                                    ShellQuote("file:" + path) + " 2>/dev/null");
    return probe.exitCode == 0 ? std::atof(probe.text.c_str()) : -1;
}

bool MuxDvdWithFfmpeg(const std::string& video, const std::string& audio, const std::string& out) {
    return FfmpegAvailable() &&
           Run("ffmpeg -nostdin -v error -y -i " + ShellQuote("file:" + video) + " -i " +
               ShellQuote("file:" + audio) + " -map 0 -map 1 -c copy -f dvd " +
               ShellQuote("file:" + out) + " 2>/dev/null")
                   .exitCode == 0;
}

bool EncodeAudioPes(const std::string& codec, int kbps, int seconds, bool framePerPacket,
                    const std::string& base) {
    const std::string ts = base + ".ts";
    const std::string encode =
        "ffmpeg -nostdin -hide_banner -v error -y -threads 1 -f lavfi -i "
        "'sine=frequency=440:beep_factor=2:sample_rate=48000:duration=" +
        std::to_string(seconds) + "' -ac 2 -c:a " + codec + " -b:a " + std::to_string(kbps) +
        "k -flags +bitexact -fflags +bitexact -f mpegts -mpegts_start_pid 0x101" +
        (framePerPacket ? " -pes_payload_size 0 " : " ") + ShellQuote("file:" + ts) + " 2>&1";
    const std::string split = ShellQuote(TARNWELL_TS_TO_PES) + " " + ShellQuote(ts) + " 0x101 " +
                              ShellQuote(base + ".pes") + " " + ShellQuote(base + ".idx") +
                              " >/dev/null 2>&1";
    return Run(encode).exitCode == 0 && Run(split).exitCode == 0;
}
