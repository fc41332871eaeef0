// The dir command on a disk whose first sectors are the input: the table of
// contents (sector 0), the cluster table (sectors 1 to 9) and the recording
// headers (sector 10 on). The image ends where the input does.
#include "fuzz_support.h"

#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = fuzz::ImagePath();
    {
        std::ofstream image(path, std::ios::binary | std::ios::trunc);
        image.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!image)
            return 0;
    }
    fuzz::Run({"tarnwell", "dir", path});
    return 0;
}
