#include "fuzz_support.h"

#include "app/app.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <unistd.h>

namespace fuzz {

namespace {

// In memory where Linux has a place for it (unless TMPDIR names another):
// every input writes an image and the rip's outputs, and a disk's file system
// would spend more on them than the run itself.
std::filesystem::path Parent() {
    std::error_code ec;
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", ec))
        return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

std::string Folder() {
    std::string path = (Parent() / "tarnwell-fuzz-XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr || ::chdir(path.c_str()) != 0) {
        std::perror("tarnwell fuzz: temporary folder");
        std::abort();
    }
    return path;
}

const std::string& TheFolder() {
    static const std::string folder = Folder();
    return folder;
}

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(TheFolder(), ignored);
}

std::ostream& NullConsole() {
    static std::ostream discard(nullptr);
    return discard;
}

bool SetUp() {
    TheFolder();
    std::atexit(RemoveFolder);
    if (std::freopen("/dev/null", "r", stdin) == nullptr)
        std::abort();
    std::cout.rdbuf(NullConsole().rdbuf());
    return true;
}

} // namespace

const std::string& ImagePath() {
    static const bool ready = SetUp();
    static const std::string path = TheFolder() + "/recorder.img";
    (void)ready;
    return path;
}

void ResetConsole() {
    static const std::ostream pristine(nullptr);
    std::cout.copyfmt(pristine);
    std::cout.clear();
}

std::vector<std::uint8_t> FixtureBytes(const std::string& name, std::size_t bytes) {
    std::ifstream in(std::string(TARNWELL_FIXTURE_DIR) + "/" + name, std::ios::binary);
    std::vector<std::uint8_t> data(bytes);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes));
    data.resize(static_cast<std::size_t>(in.gcount()));
    if (data.empty())
        std::abort(); // a target without its fixture would fuzz nothing
    return data;
}

std::uint32_t Input::Bytes(int n) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i)
        value = (value << 8) | Byte();
    return value;
}

std::vector<std::uint8_t> Input::Take(std::size_t n) {
    const std::size_t take = n < Left() ? n : Left();
    std::vector<std::uint8_t> bytes(At, At + take);
    At += take;
    return bytes;
}

int Run(const std::vector<std::string>& args) {
    ImagePath();
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    const int status = RunTarnwell(static_cast<int>(argv.size()), argv.data());
    ResetConsole();
    return status;
}

} // namespace fuzz
