// The speed of SHA-256: 1 GiB of bytes hashed in pieces of 64 KiB, as a
// file is written, and in pieces of 1000 bytes, whose blocks straddle them.
//
//   sha256_speed [MIB]      (default 1024)
#include "output/sha256.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double HashSeconds(const std::vector<std::uint8_t>& piece, std::size_t total, std::string& hex) {
    CSha256 hash;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t done = 0; done < total; done += piece.size())
        hash.Update(piece.data(), piece.size());
    hex = CSha256::Hex(hash.Final());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 1024;
    if (mib < 1) {
        std::fprintf(stderr, "usage: sha256_speed [MIB]\n");
        return 1;
    }
    const std::size_t total = static_cast<std::size_t>(mib) << 20;
    for (const std::size_t size : {std::size_t{1} << 16, std::size_t{1000}}) {
        std::vector<std::uint8_t> piece(size);
        for (std::size_t i = 0; i < size; ++i)
            piece[i] = static_cast<std::uint8_t>(i * 131 + 7);
        std::string hex;
        const double seconds = HashSeconds(piece, total, hex);
        std::printf("SHA-256 of %ld MiB in pieces of %zu bytes: %.3f s, %.0f MB/s (%.8s...)\n", mib,
                    size, seconds, static_cast<double>(total) / 1e6 / seconds, hex.c_str());
    }
    return 0;
}
