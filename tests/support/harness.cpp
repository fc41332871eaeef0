#include "support/harness.h"

#include "platform/runlog.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifndef TARNWELL_EXE
#define TARNWELL_EXE "tarnwell"
#endif

namespace harness {

namespace fs = std::filesystem;

namespace {

// Folders a test made unwritable are opened up first, so that all of the
// tree can go.
void RemoveTree(const fs::path& path) {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path, ec);
}

} // namespace

TempDir::TempDir() {
    // A name made of the clock and a counter, taken by whoever creates it first.
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const fs::path candidate = base / ("tarnwell-" + std::to_string(stamp % 1000000007) + "-" +
                                           std::to_string(counter++));
        if (fs::create_directory(candidate, ec))
            path = candidate.generic_string();
    }
}

TempDir::~TempDir() {
    if (!path.empty())
        RemoveTree(path);
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
    std::error_code ec;
    return fs::exists(path, ec);
}

#ifndef _WIN32

namespace {

std::vector<std::string> LogFiles(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() == 18 && name.compare(14, 4, ".log") == 0)
            names.push_back(name);
    }
    return names;
}

} // namespace

Run RunProgram(const std::string& dir, const std::vector<std::string>& args,
               const std::string& input) {
    return RunProgramAs({TARNWELL_EXE}, dir, args, input);
}

Run RunProgramAs(const std::vector<std::string>& program, const std::string& dir,
                 const std::vector<std::string>& args, const std::string& input) {
    Run run;
    for (const std::string& name : LogFiles(dir))
        fs::remove(fs::path(dir) / name);

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
        for (const std::string& arg : program)
            argv.push_back(const_cast<char*>(arg.c_str()));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
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
#endif

#ifndef _WIN32
std::uint64_t SparseDataHash(int fd) {
    std::uint64_t hash = 14695981039346656037u; // FNV-1a
    std::vector<char> buffer(1 << 20);
    for (off_t pos = 0; fd >= 0 && (pos = ::lseek(fd, pos, SEEK_DATA)) >= 0;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), pos);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211u;
        pos += n;
    }
    return hash;
}

Preload::Preload(const Variables& variables) {
    const char* saved = std::getenv("ASAN_OPTIONS");
    hadAsan = saved != nullptr;
    asan = saved ? saved : "";
    ::setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
#ifdef TARNWELL_BAD_SECTORS_LIB
    ::setenv("LD_PRELOAD", TARNWELL_BAD_SECTORS_LIB, 1);
#endif
    for (const auto& [name, value] : variables) {
        ::setenv(name.c_str(), value.c_str(), 1);
        names.push_back(name);
    }
}

Preload::~Preload() {
    for (const std::string& name : names)
        ::unsetenv(name.c_str());
    ::unsetenv("LD_PRELOAD");
    if (hadAsan)
        ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    else
        ::unsetenv("ASAN_OPTIONS");
}
#endif

} // namespace harness
