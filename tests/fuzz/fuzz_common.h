// Shared by the fuzz targets: a private program folder, inputs written to files as the program
// would find them, dialogs kept quiet, and a hard stop on a non-finite sample.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "engine/effects.h"
#include "engine/forms.h"
#include "engine/program_folder.h"

namespace vx::fuzz {

namespace fs = std::filesystem;

class QuietDialogs : public EditorDialogs {
public:
    void message(const std::string&) override {}
    void warning(const std::string&) override {}
    std::optional<std::string> open_file(const FileDialogRequest&) override { return std::nullopt; }
    std::optional<std::string> save_file(const FileDialogRequest&) override { return std::nullopt; }
};

// The program folder of this process, made once.
inline const fs::path& home() {
    static const fs::path h = [] {
        const fs::path p = fs::temp_directory_path() / ("vx-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(p / "PRESETS");
        fs::create_directories(p / "SKINS");
        fs::create_directories(p / "temp");
        set_program_home(p);
        static QuietDialogs quiet;
        set_editor_dialogs(&quiet);
        effects_startup();
        std::atexit([] { std::error_code ec; fs::remove_all(home(), ec); });
        return p;
    }();
    return h;
}

inline void write_file(const fs::path& p, const uint8_t* data, size_t size) {
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                               static_cast<std::streamsize>(size));
}

// A few blocks of a loud phrase through one instance; aborts (a finding) on a non-finite sample.
inline void run_blocks(EffectKind k, EffectInstance inst, const ProcessFn process) {
    static float buf[2 * 512];
    uint32_t seed = 3;
    for (int ch : {2, 1}) {
        for (int n : {512, 7}) {
            for (int i = 0; i < n * ch; ++i) {
                seed = seed * 1664525u + 1013904223u;
                buf[i] = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 30000.0f;
            }
            process(n, 48000, ch, buf, inst);
            for (int i = 0; i < n * ch; ++i) {
                if (!std::isfinite(buf[i])) {
                    std::fprintf(stderr, "non-finite output from kind %d\n", k);
                    std::abort();
                }
            }
        }
    }
}

}  // namespace vx::fuzz
