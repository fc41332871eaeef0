#include "support/harness.h"

#include "platform/runlog.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TARNWELL_EXE
#define TARNWELL_EXE "tarnwell"
#endif

namespace harness {

namespace {

void RemoveTree(const std::string& path) {
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "/" + name;
            struct stat st {};
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                ::chmod(child.c_str(), 0700);
                RemoveTree(child);
            } else {
                ::unlink(child.c_str());
            }
        }
        ::closedir(dir);
    }
    ::rmdir(path.c_str());
}

std::vector<std::string> LogFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() == 18 && name.compare(14, 4, ".log") == 0)
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

} // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwell-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr)
        path = buf.data();
}

TempDir::~TempDir() {
    if (!path.empty()) {
        ::chmod(path.c_str(), 0700);
        RemoveTree(path);
    }
}

Capture::Capture()
    : savedCout(std::cout.rdbuf(console.rdbuf())), savedLog(g_Log), savedFlags(std::cout.flags()),
      savedPrecision(std::cout.precision()) {
    log.precision(0);
    g_Log = &log;
}

Capture::~Capture() {
    std::cout.rdbuf(savedCout);
    std::cout.flags(savedFlags);
    std::cout.precision(savedPrecision);
    g_Log = savedLog;
}

std::vector<std::string> Capture::ConsoleLines() const {
    return Lines(Console());
}
std::vector<std::string> Capture::LogLines() const {
    return Lines(Log());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

Run RunProgram(const std::string& dir, const std::vector<std::string>& args,
               const std::string& input) {
    Run run;
    for (const std::string& name : LogFiles(dir))
        ::unlink((dir + "/" + name).c_str());

    // Standard input and output go through files of a folder of their own, so
    // that the working folder holds only what the program writes.
    const TempDir io;
    const std::string inPath = io.File("stdin"), outPath = io.File("stdout");
    {
        std::ofstream in(inPath, std::ios::binary);
        in << input;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0)
            ::_exit(127);
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(TARNWELL_EXE));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(TARNWELL_EXE, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto out = ReadFile(outPath);
    run.console.assign(out.begin(), out.end());
    const auto logs = LogFiles(dir);
    if (!logs.empty()) {
        run.logName = logs.front();
        const auto log = ReadFile(dir + "/" + run.logName);
        run.log.assign(log.begin(), log.end());
    }
    return run;
}

} // namespace harness
