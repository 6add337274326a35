// A skin archive from anywhere: unpacked into a fresh folder, its description read. The folder
// must never end up outside the program folder nor beyond the size cap.
#include <cstdlib>

#include "app/skin_archive.h"
#include "fuzz_common.h"

using namespace vx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::fs::path& home = fuzz::home();
    const fuzz::fs::path zip = home / "SKINS" / "input.zip";
    const fuzz::fs::path out = home / "temp" / "skin";
    fuzz::write_file(zip, data, size);
    std::error_code ec;
    fuzz::fs::remove_all(out, ec);
    unpack_zip(zip.string(), out.string());
    uintmax_t bytes = 0;
    for (const auto& e : fuzz::fs::recursive_directory_iterator(out, ec))
        if (e.is_regular_file(ec)) bytes += e.file_size(ec);
    if (bytes > kMaxSkinBytes) std::abort();
    SkinDescription d;
    read_skin((out / "skin.ini").string(), d);
    return 0;
}
