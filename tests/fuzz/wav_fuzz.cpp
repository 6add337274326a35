// A WAV file from anywhere, loaded by the player and played.
#include "fuzz_common.h"
#include "fx/read_wav.h"

using namespace vx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::fs::path file = fuzz::home() / "input.wav";
    fuzz::write_file(file, data, size);
    static EffectInstance inst = get_registry().create[11]();
    auto& player = *static_cast<TReadWav*>(inst->form);
    player.wav_path = file.string();
    player.SaveFilePlayBack();
    player.play_pos = 0;
    fuzz::run_blocks(11, inst, get_registry().process[11]);
    return 0;
}
