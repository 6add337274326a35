// The render's stream: an audio file read a piece at a time, every block of it walked through the
// runner's entries, and written out. On two threads the rack is split in two: the reading thread runs
// the first entries over every block of a piece and hands it to the writing thread, which runs the
// rest and writes it, while the reader goes on with the next piece. Each entry still gets every
// block, in order, from one thread at a time, so the output is the same bit for bit wherever the rack
// is split.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "audio_file.h"
#include "engine/effects.h"

namespace vx {

struct StreamSettings {
    int32_t block = 480;     // frames per block, 1..512
    int32_t channels = 2;    // what the chain processes; a mono file is doubled to stereo for 2
    int32_t threads = 1;     // 1 or 2
    // With two threads, the entries before `split` run on the reading thread and the others on the
    // writing one; -1 times the first pieces on the reading thread alone and then splits where the
    // busier thread has least to do.
    int32_t split = -1;
    std::string output_name;  // for the message when a write fails
    // Called on the writing thread after each piece is written, with the frames written so far.
    std::function<void(int64_t)> progress;
};

struct StreamResult {
    std::string error;       // "" or the message, as for a failed read or write
    int32_t split = kTableCapacity;  // where the rack was split (two threads)
};

// Streams `in` through the runner's entries (loaded beforehand; nothing may change them meanwhile)
// into `out`, which stays unfinished.
StreamResult render_stream(AudioReader& in, AudioWriter& out, const StreamSettings& settings);

// The threads a render uses unless told: 2 when at least two processors are there for the program
// and at least two slots of `table` do work (switched on, of a kind that is built), else 1.
int32_t default_render_threads(const ChainTable& table);

// Where to split entries costing `entry_ns` (kTableCapacity of them) between a thread that also
// reads (`read_ns`) and one that also writes (`write_ns`), so that the busier of the two has least
// to do: the first entry of the second thread (kTableCapacity: all on the first).
int32_t balanced_split(const int64_t* entry_ns, int64_t read_ns, int64_t write_ns);

}  // namespace vx
