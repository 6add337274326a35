// Settings files from anywhere: the reader itself (every key the input names read back, one
// written and saved), and the effects that read their own file when made: the multi-band
// distortion's MTEQ.ini and the player's playback.ini.
#include <algorithm>
#include <string>

#include "engine/ini.h"
#include "fuzz_common.h"

using namespace vx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::fs::path& home = fuzz::home();
    fuzz::write_file(home / "any.ini", data, size);
    {
        IniFile ini((home / "any.ini").string());
        // Section and key names taken from the input itself, so that the reader finds them.
        const std::string text(reinterpret_cast<const char*>(data), size);
        const std::string section = text.substr(0, std::min<size_t>(8, text.size()));
        ini.read_int(section, "latency", 35);
        ini.read_int("Wave Devices", "SampleFreq", 3);
        ini.read_string("File", "Path", "ERROR");
        ini.has_key("EQL", "0");
        ini.write_int("Other", "Drive", 50);
        ini.save();
    }
    fuzz::write_file(home / "MTEQ.ini", data, size);
    fuzz::write_file(home / "playback.ini", data, size);
    for (EffectKind k : {5, 11}) {
        EffectInstance inst = get_registry().create[k]();
        fuzz::run_blocks(k, inst, get_registry().process[k]);
        force_destroy_instance(inst);
    }
    return 0;
}
