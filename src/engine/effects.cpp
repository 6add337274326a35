#include "effects.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace vx {

namespace {

constexpr const char* kNames[kKindCount] = {
    "--- select ---",
    "noise gate",
    "EQ (8 bands) + Filters",
    "Distortion-Compresor",
    "Distortion (Simple)",
    "Distortorton Plus",
    "Distortion (Soft/Hard)",
    "Reverberator",
    "Delay",
    "Flanger / Chorus",
    "wah",
    "Playback wav file",
    "Record wav",
    "Gain",
};

int32_t empty_process(int32_t, int32_t, int32_t, float*, EffectInstance) { return 0; }
EffectInstance empty_create() { return nullptr; }
void empty_params(int32_t*, EffectInstance, int32_t) {}

// Filled by the effect units during static initialisation; a function-local static so that the
// order of initialisation between translation units does not matter.
std::array<KindEntry, kKindCount>& kind_entries() {
    static std::array<KindEntry, kKindCount> entries{};
    return entries;
}

// The runner's copy of the rack table. Each word is atomic because the user-interface thread
// rewrites it while a block may be walking it; relaxed is enough for the entries, count publishes.
struct RunnerTable {
    std::atomic<int32_t> count{0};
    std::atomic<ProcessFn> process[kTableCapacity];
    std::atomic<EffectInstance> instance[kTableCapacity];
    std::atomic<ParamsFn> params[kTableCapacity];
    std::atomic<int32_t> kind[kTableCapacity];
    std::atomic<int32_t> enabled[kTableCapacity];
};
RunnerTable runner;

std::atomic<int64_t> counter_frequency{0};
std::atomic<float> elapsed{0.0f};
std::atomic<int32_t> blocks{0};
std::atomic<int32_t> messages_posted{0};
std::atomic<bool> message_pending{false};
// Set for the whole of a walk that may have passed the gates, by the one walk that took it; see
// wait_for_walk.
std::atomic<bool> walking{false};
// The longest walk since the last take_block_times(), packed so that one atomic holds it with its
// heaviest slot: walk ns << 24 | slot us (19 bits) << 5 | slot 1..16 (0: none ran). Ordered by the walk's time.
std::atomic<int64_t> longest_walk{0};
// The longest time between the starts of two calls since the last take_block_times(), and the
// start of the last call (0: none yet).
std::atomic<int64_t> longest_gap{0};
std::atomic<int64_t> last_call_start{0};

void store_max(std::atomic<int64_t>& at, int64_t v) {
    int64_t seen = at.load(std::memory_order_relaxed);
    while (v > seen && !at.compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
    }
}
// The rate of the last walk that passed the gates (0 before the first), and when it ended.
std::atomic<int32_t> walk_rate{0};
std::atomic<int64_t> walk_end{0};

int64_t read_counter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr auto relaxed = std::memory_order_relaxed;

}  // namespace

std::atomic<int32_t> rack_gate{1};
std::atomic<int32_t> load_gate{1};
std::atomic<float> cpu_load{0.0f};

int32_t display_rate_at(int32_t last_rate, int64_t last_walk_ns, int64_t now_ns) {
    // A stopped engine walks no more: after a second without blocks its rate is history.
    return last_rate > 0 && now_ns - last_walk_ns < 1'000'000'000 ? last_rate : 48000;
}

int32_t display_rate() { return display_rate_at(walk_rate.load(relaxed), walk_end.load(relaxed), read_counter()); }

bool register_kind(EffectKind k, KindEntry entry) {
    if (k <= 0 || k >= kKindCount) return false;
    kind_entries()[static_cast<size_t>(k)] = entry;
    return true;
}

bool kind_available(EffectKind k) {
    return k > 0 && k < kKindCount && kind_entries()[static_cast<size_t>(k)].create != nullptr;
}

void copy_name(char (&dst)[kNameSize], const char* src) {
    const size_t n = src ? std::min(std::strlen(src), static_cast<size_t>(kNameSize - 1)) : 0;
    if (n) std::memcpy(dst, src, n);
    std::memset(dst + n, 0, kNameSize - n);
}

const char* kind_name(EffectKind k) { return k >= 0 && k < kKindCount ? kNames[k] : ""; }

const EffectRegistry& get_registry() {
    static EffectRegistry reg;
    EffectRegistry fresh;
    std::memset(&fresh, 0, sizeof fresh);  // padding too, for the comparison below
    fresh.count = kKindCount - 1;
    for (int k = 0; k < kKindCount; ++k) {
        copy_name(fresh.names[k], kNames[k]);
        const KindEntry& e = kind_entries()[static_cast<size_t>(k)];
        // A kind whose unit is not linked in behaves like the empty slot: it creates nothing.
        fresh.process[k] = e.process ? e.process : empty_process;
        fresh.create[k] = e.create ? e.create : empty_create;
        fresh.params[k] = e.params ? e.params : empty_params;
    }
    // Written only when something changed (never, once every unit has registered), so a thread that
    // holds the record, as a test's audio thread does, never sees it half filled.
    if (std::memcmp(&fresh, &reg, sizeof reg) != 0) std::memcpy(&reg, &fresh, sizeof reg);
    return reg;
}

void set_table_entry(ChainTable& table, int32_t i, EffectKind k) {
    if (i < 0 || i >= kTableCapacity) return;
    if (k < 0 || k >= kKindCount) k = 0;
    const EffectRegistry& reg = get_registry();
    copy_name(table.names[i], reg.names[k]);
    table.process[i] = reg.process[k];
    table.params[i] = reg.params[k];
    table.kind[i] = k;
    table.instance[i] = reg.create[k]();
}

bool destroy_instance(EffectInstance instance) {
    if (instance == nullptr) return true;
    if (instance->form != nullptr) {
        instance->form->hide();
        if (!instance->form->close()) return false;
    }
    delete instance->form;
    delete instance;
    return true;
}

void force_destroy_instance(EffectInstance instance) {
    if (instance == nullptr) return;
    if (instance->form != nullptr) instance->form->hide();
    delete instance->form;
    delete instance;
}

int32_t ChainRunner(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer) {
    // Mark the walk before reading the gates: a user-interface thread that closed a gate and then
    // sees the mark clear knows that no walk can still reach an instance (both are seq_cst).
    // Taking the mark by exchange also refuses a second walk while one is in progress (a stream
    // left alone by a vanished sound server calling back beside the new one): no effect is safe
    // against two walks at once, so the late caller's block passes untouched, as with a closed gate.
    if (walking.exchange(true, std::memory_order_seq_cst)) return 0;
    const int64_t start = read_counter();
    const int64_t previous = last_call_start.exchange(start, relaxed);
    if (previous != 0) store_max(longest_gap, start - previous);
    if (rack_gate.load(std::memory_order_seq_cst) == 0 || load_gate.load(std::memory_order_seq_cst) == 0) {
        walking.store(false, std::memory_order_seq_cst);
        return 0;
    }
    WalkTimes times;
    const int64_t end = walk_entries(0, kTableCapacity, frameCount, sampleRate, channelCount, buffer, start, &times);
    const int64_t heaviest_ns = times.heaviest_ns, heaviest = times.heaviest;
    store_max(longest_walk, std::min<int64_t>(end - start, (int64_t{1} << 39) - 1) << 24 |
                                std::min<int64_t>(heaviest_ns / 1000, (1 << 19) - 1) << 5 | heaviest);
    if (sampleRate > 0) {
        walk_rate.store(sampleRate, relaxed);
        walk_end.store(end, relaxed);
    }
    const int64_t freq = counter_frequency.load(relaxed);
    if (freq != 0 && sampleRate != 0) {
        const float e = static_cast<float>(static_cast<double>(end - start) / static_cast<double>(freq));
        elapsed.store(e, relaxed);
        if (frameCount != 0)
            cpu_load.store(static_cast<float>(static_cast<double>(sampleRate) * e / frameCount), relaxed);
    }
    const int32_t b = blocks.load(relaxed);
    if (b % 800000 == 799998) {
        messages_posted.fetch_add(1, relaxed);
        message_pending.store(true, std::memory_order_release);
    }
    // Wraps like the 32-bit counter it models, without signed overflow.
    blocks.store(static_cast<int32_t>(static_cast<uint32_t>(b) + 1u), relaxed);
    walking.store(false, std::memory_order_seq_cst);
    return 0;
}

int64_t walk_entries(int32_t first, int32_t end, int32_t frameCount, int32_t sampleRate, int32_t channelCount,
                     float* buffer, int64_t start_ns, WalkTimes* times) {
    const int32_t n = std::min(runner.count.load(std::memory_order_acquire), std::min(end, kTableCapacity));
    int64_t at = start_ns;
    for (int32_t i = std::max(first, 0); i < n; ++i) {
        if (runner.enabled[i].load(relaxed) == 1 && runner.kind[i].load(relaxed) != 0) {
            ProcessFn fn = runner.process[i].load(relaxed);
            if (fn != nullptr) {
                fn(frameCount, sampleRate, channelCount, buffer, runner.instance[i].load(relaxed));
                if (times == nullptr) continue;
                const int64_t now = read_counter();
                if (times->heaviest == 0 || now - at > times->heaviest_ns) {
                    times->heaviest_ns = now - at;
                    times->heaviest = i + 1;
                }
                if (times->entry_ns != nullptr) times->entry_ns[i] += now - at;
                at = now;
            }
        }
    }
    return times == nullptr ? 0 : read_counter();
}

int64_t runner_clock_ns() { return read_counter(); }

int32_t load_chain(const ChainTable& table) {
    // count is forced to 0 during the copy, so a block that starts now processes nothing.
    runner.count.store(0, std::memory_order_release);
    const int32_t n = table.count < 0 ? 0 : (table.count > kTableCapacity ? kTableCapacity : table.count);
    for (int32_t i = 0; i < n; ++i) {
        runner.process[i].store(table.process[i], relaxed);
        runner.instance[i].store(table.instance[i], relaxed);
        runner.params[i].store(table.params[i], relaxed);
        runner.kind[i].store(table.kind[i], relaxed);
        runner.enabled[i].store(table.enabled[i], relaxed);
    }
    runner.count.store(n, std::memory_order_release);
    return 0;
}

int32_t swap_chain_entries(int32_t i, int32_t j) {
    if (i < 0 || j < 0 || i >= kTableCapacity || j >= kTableCapacity) return 0;
    auto swap = [i, j](auto& arr) {
        auto a = arr[i].load(relaxed);
        arr[i].store(arr[j].load(relaxed), relaxed);
        arr[j].store(a, relaxed);
    };
    swap(runner.process);
    swap(runner.instance);
    swap(runner.params);
    swap(runner.kind);
    swap(runner.enabled);
    return 0;
}

void enable_entry(int32_t i) {
    if (i >= 0 && i < kTableCapacity) runner.enabled[i].store(1, relaxed);
}

void disable_entry(int32_t i) {
    if (i >= 0 && i < kTableCapacity) runner.enabled[i].store(0, relaxed);
}

int32_t block_counter() { return blocks.load(relaxed); }
float elapsed_seconds() { return elapsed.load(relaxed); }

BlockTimes take_block_times() {
    const int64_t walk = longest_walk.exchange(0, relaxed);
    BlockTimes t;
    t.longest_walk_ms = static_cast<double>(walk >> 24) * 1e-6;
    t.heaviest_slot_ms = static_cast<double>((walk >> 5) & ((1 << 19) - 1)) * 1e-3;
    t.heaviest_slot = static_cast<int32_t>(walk & 31);
    t.longest_gap_ms = static_cast<double>(longest_gap.exchange(0, relaxed)) * 1e-6;
    return t;
}
int32_t runner_messages_posted() { return messages_posted.load(relaxed); }

bool take_runner_message() { return message_pending.exchange(false, std::memory_order_acq_rel); }

void wait_for_walk() {
    while (walking.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

void effects_startup() {
    runner.count.store(0, std::memory_order_release);
    for (int i = 0; i < kTableCapacity; ++i) {
        runner.process[i].store(nullptr, relaxed);
        runner.instance[i].store(nullptr, relaxed);
        runner.params[i].store(nullptr, relaxed);
        runner.kind[i].store(0, relaxed);
        runner.enabled[i].store(0, relaxed);
    }
    rack_gate.store(1);
    load_gate.store(1);
    cpu_load.store(0.0f);
    elapsed.store(0.0f);
    counter_frequency.store(1'000'000'000, relaxed);  // the counter counts nanoseconds
    blocks.store(0);
    walk_rate.store(0, relaxed);
    walk_end.store(0, relaxed);
    longest_walk.store(0, relaxed);
    longest_gap.store(0, relaxed);
    last_call_start.store(0, relaxed);
    messages_posted.store(0);
    message_pending.store(false);
}

namespace {
// Module start-up, before main.
const bool started_up = (effects_startup(), true);
}  // namespace

ChainTable runner_table_snapshot() {
    ChainTable t;
    t.count = runner.count.load(std::memory_order_acquire);
    for (int i = 0; i < kTableCapacity; ++i) {
        t.process[i] = runner.process[i].load(relaxed);
        t.instance[i] = runner.instance[i].load(relaxed);
        t.params[i] = runner.params[i].load(relaxed);
        t.kind[i] = runner.kind[i].load(relaxed);
        t.enabled[i] = runner.enabled[i].load(relaxed);
    }
    return t;
}

void set_block_counter_for_test(int32_t value) { blocks.store(value, relaxed); }

}  // namespace vx
