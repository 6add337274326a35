// Unit effects: the registry of effect kinds, the contract every kind follows, and the chain
// runner that the capture thread calls for every block.
//
// Threads: ChainRunner (and through it every ProcessFn) runs on the audio thread and never
// allocates, locks or blocks. Everything else here runs on the user-interface thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "forms.h"

namespace vx {

using EffectKind = int32_t;
constexpr int kKindCount = 14;       // rows 0..13
constexpr int kTableCapacity = 32;
constexpr int kNameSize = 256;
constexpr int kParameterWords = 101;
constexpr int kStoredParameterWords = 73;  // words 0..72 go into chain files

// 101 words; floats travel as bit patterns, booleans in the lowest byte.
using ParameterBlock = std::array<int32_t, kParameterWords>;

// The cell that refers to one effect object (its editor window and its processing state).
struct EffectCell {
    Form* form = nullptr;
};
using EffectInstance = EffectCell*;

using ProcessFn = int32_t (*)(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer,
                              EffectInstance instance);
using CreateFn = EffectInstance (*)();
using ParamsFn = void (*)(int32_t* block, EffectInstance instance, int32_t direction);

struct EffectRegistry {
    int32_t count = 0;  // highest valid kind index (13), not the number of rows
    char names[kTableCapacity][kNameSize] = {};
    ProcessFn process[kTableCapacity] = {};
    CreateFn create[kTableCapacity] = {};
    ParamsFn params[kTableCapacity] = {};
};

struct ChainTable {
    int32_t count = 0;
    char names[kTableCapacity][kNameSize] = {};
    ProcessFn process[kTableCapacity] = {};
    EffectInstance instance[kTableCapacity] = {};
    ParamsFn params[kTableCapacity] = {};
    int32_t kind[kTableCapacity] = {};
    int32_t enabled[kTableCapacity] = {};
};

// Fills the whole record (the same content on every call) and returns it.
const EffectRegistry& get_registry();

// Copies a name into a table's char[256] field, NUL-terminated and cut to fit.
void copy_name(char (&dst)[kNameSize], const char* src);

// Fills entry i of a table from registry row k (name, process, params, kind) with a new instance
// of that kind (null for the empty slot). The entry's enabled flag and any old instance are the
// caller's business.
void set_table_entry(ChainTable& table, int32_t i, EffectKind k);

// The display name of a kind (exactly as listed); "" outside 0..13.
const char* kind_name(EffectKind k);
// True once the kind's unit is linked in and fills its row.
bool kind_available(EffectKind k);

// Destroys an instance made by a CreateFn: hides and closes its window, frees the object and the
// cell. Returns false, and destroys nothing, if the window refuses to close. Null is accepted.
bool destroy_instance(EffectInstance instance);
// Frees the object and the cell even if the window refused to close.
void force_destroy_instance(EffectInstance instance);

// --- Registration of effect kinds -----------------------------------------------------------

struct KindEntry {
    ProcessFn process = nullptr;
    CreateFn create = nullptr;
    ParamsFn params = nullptr;
};

// Called at static initialisation by each effect unit (see VX_REGISTER_KIND in effect_unit.h).
bool register_kind(EffectKind k, KindEntry entry);

// --- Chain runner ---------------------------------------------------------------------------

extern std::atomic<int32_t> rack_gate;
extern std::atomic<int32_t> load_gate;
extern std::atomic<float> cpu_load;
// The rate the rack runs at (that of its last block), or 48000 while the engine is stopped (no block
// for a second): what editors convert samples to milliseconds with.
int32_t display_rate();
// The rule behind it, for a last walk at `last_rate` that ended at `last_walk_ns` (steady clock).
int32_t display_rate_at(int32_t last_rate, int64_t last_walk_ns, int64_t now_ns);

// A call while another walk is in progress (a second audio thread) returns at once and leaves its
// block as captured, as a closed gate does.
int32_t ChainRunner(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);

// What a walk of entries measured, on the steady clock.
struct WalkTimes {
    int64_t heaviest_ns = 0;
    int32_t heaviest = 0;          // the entry (1-based) that took longest; 0 if none ran
    int64_t* entry_ns = nullptr;   // when set, each entry's time is added to entry_ns[entry - 1]
};
// Runs the block through the runner's entries first..end-1 (0-based, cut to its count) that are
// enabled and hold a kind, in order, each process function called as ChainRunner calls it; ChainRunner
// walks its blocks through this very loop. It takes no walk mark, reads no gate and counts nothing:
// that is ChainRunner's part. A caller other than ChainRunner (the offline render, which splits the
// rack between two threads) owns the rack for the time: nothing loads, swaps, enables or disables
// entries or replaces an instance meanwhile, no two threads walk one entry at once, and each entry
// gets its blocks in order, every walk of it ordered after the one before (as a hand-over through a
// semaphore orders them). With `times`, each entry is timed from `start_ns` on (steady clock, ns) and
// the clock at the end is returned; without, nothing is timed and 0 is returned.
int64_t walk_entries(int32_t first, int32_t end, int32_t frameCount, int32_t sampleRate, int32_t channelCount,
                     float* buffer, int64_t start_ns = 0, WalkTimes* times = nullptr);
// The steady clock the runner and walk_entries time with, in ns.
int64_t runner_clock_ns();

int32_t load_chain(const ChainTable& table);
int32_t swap_chain_entries(int32_t i, int32_t j);
void enable_entry(int32_t i);
void disable_entry(int32_t i);

// Blocks processed since start-up (only those that passed both gates).
int32_t block_counter();
// Seconds spent in the last measured walk.
float elapsed_seconds();
// The longest walk since the last call, with the slot (1..16, 0 if none ran) that took longest in
// it, and the longest time between the starts of two calls of ChainRunner (the audio thread's
// period, or more when it woke late). Each call starts the next interval.
struct BlockTimes {
    double longest_walk_ms = 0.0;
    double heaviest_slot_ms = 0.0;
    int32_t heaviest_slot = 0;
    double longest_gap_ms = 0.0;
};
BlockTimes take_block_times();
// The runner's once-in-800000-blocks message to the main window: returns true once per post.
bool take_runner_message();
// How many messages were posted since start-up.
int32_t runner_messages_posted();

// Waits until no walk of ChainRunner that may have passed the gates is still in progress. Call it
// after closing a gate and before destroying or replacing anything a walk may still use.
void wait_for_walk();

// Module start-up values: runner copy empty, both gates open, counter frequency read, block
// counter 0. Runs once at program start; tests call it again to begin from a clean state.
void effects_startup();

// Test support: the runner's copy as a plain table (names are never copied into it).
ChainTable runner_table_snapshot();
// Test support: sets the block counter, so that rare events can be reached quickly.
void set_block_counter_for_test(int32_t value);

}  // namespace vx
