// A chain file from anywhere: read as the program reads it, each slot's block handed to a new
// instance of its kind, then sound through it.
#include <algorithm>

#include "app/chain_file.h"
#include "fuzz_common.h"

using namespace vx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::fs::path file = fuzz::home() / "PRESETS" / "input.pre";
    fuzz::write_file(file, data, size);
    ChainFile rec;
    if (!read_chain_file(file.string(), rec)) return 0;
    for (int32_t& k : rec.kind) k = map_old_kind(k);
    const EffectRegistry& reg = get_registry();
    for (int slot = 0; slot < 16; ++slot) {
        const EffectKind k = rack_kind(rec.kind[slot]);
        if (k <= 0 || !kind_available(k)) continue;
        EffectInstance inst = reg.create[k]();
        int32_t block[kParameterWords];
        std::copy(std::begin(rec.blocks[slot]), std::end(rec.blocks[slot]), block);
        // Only the stored words come from the file; the rest is what the rack's scratch block holds.
        std::fill(block + kStoredParameterWords, block + kParameterWords, 0);
        reg.params[k](block, inst, 1);
        fuzz::run_blocks(k, inst, reg.process[k]);
        force_destroy_instance(inst);
    }
    return 0;
}
