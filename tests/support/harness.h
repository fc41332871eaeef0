// Test harness: temporary folders, capture of the console and the run log
// for tests that call the program's classes directly, and runs of the real
// program for end-to-end tests.
#pragma once

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }

  private:
    std::string path;
};

// While it lives, std::cout goes into Console() and g_Log into Log(); both
// start in the state the program gives them (decimal, general notation; the
// log with precision 0). Restores both, and resets std::cout's format, when
// it goes.
class Capture {
  public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::string Console() const { return console.str(); }
    std::string Log() const { return log.str(); }
    std::vector<std::string> ConsoleLines() const;
    std::vector<std::string> LogLines() const;

  private:
    std::ostringstream console;
    std::ostringstream log;
    std::streambuf* savedCout;
    std::ostream* savedLog;
    std::ios::fmtflags savedFlags;
    std::streamsize savedPrecision;
};

// Splits text at line feeds; a last line without one is kept too.
std::vector<std::string> Lines(const std::string& text);

// The bytes of a file (empty if it cannot be read).
std::vector<std::uint8_t> ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool FileExists(const std::string& path);
// A hash of the data of a file open as fd, its holes skipped (a sparse
// image's holes read as nothing; bytes written into one would show). Not on
// Windows.
std::uint64_t SparseDataHash(int fd);

// A run of the real program.
struct Run {
    int exitCode = -1;
    std::string console; // its standard output
    std::string log;     // the run log it wrote ("" if none)
    std::string logName; // the name of that log file
};

// Runs the program in folder `dir` with the given arguments; standard input
// comes from `input` (empty: at its end at once). Not on Windows, where the
// tests that run the program are not built.
Run RunProgram(const std::string& dir, const std::vector<std::string>& args,
               const std::string& input = "");

// The same with another program: `program` holds its path, after the path of
// a program that runs it if there is one (for example {"wine", "x.exe"}).
Run RunProgramAs(const std::vector<std::string>& program, const std::string& dir,
                 const std::vector<std::string>& args, const std::string& input = "");

// While it lives, the program runs with the preloaded fault library and the
// environment variables given (name, value); ASan is told to accept the
// library before its own runtime.
class Preload {
  public:
    using Variables = std::vector<std::pair<std::string, std::string>>;
    explicit Preload(const Variables& variables);
    ~Preload();
    Preload(const Preload&) = delete;
    Preload& operator=(const Preload&) = delete;

  private:
    std::vector<std::string> names;
    bool hadAsan = false;
    std::string asan;
};

} // namespace harness
