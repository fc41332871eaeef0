// What the fuzz targets share: a temporary working folder for the run log,
// the output files and the disk image, standard input at its end, a silent
// console, and a reader of the fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Sets the process up on the first call (later calls only give the path):
// makes a temporary folder (in /dev/shm unless TMPDIR is set), changes into it and removes it at
// exit, reads standard input from /dev/null and sends std::cout nowhere. Gives the path of the
// image file in that folder. Pass the fuzzer absolute paths: relative ones would be taken from the
// temporary folder.
const std::string& ImagePath();

// Puts std::cout back into the state the program starts in (decimal, general
// notation), so that one input's run does not shape the next one's.
void ResetConsole();

// The first `bytes` bytes of a file in tests/fixtures (fewer if it is shorter).
std::vector<std::uint8_t> FixtureBytes(const std::string& name, std::size_t bytes);

// The fuzz input read front to back; once it is used up, every read gives 0.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : At(data), End(data + size) {}
    std::uint8_t Byte() { return At < End ? *At++ : 0; }
    std::uint32_t Bytes(int n);
    std::vector<std::uint8_t> Take(std::size_t n);
    std::vector<std::uint8_t> Rest() { return Take(Left()); }
    std::size_t Left() const { return static_cast<std::size_t>(End - At); }

  private:
    const std::uint8_t* At;
    const std::uint8_t* End;
};

// Runs the program in-process on these arguments (the program name first).
int Run(const std::vector<std::string>& args);

} // namespace fuzz
