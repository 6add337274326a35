// The FX chain file ("*.pre"): one 13188-byte little-endian record holding a whole rack, the kind
// and on/off state of each slot and each effect's parameter block.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/effects.h"

namespace vx {

constexpr int kChainFileSize = 13188;
constexpr int16_t kChainFileVersion = 303;

struct ChainFile {
    int16_t reserved = 0;  // never interpreted, written back as read
    int16_t version = 0;
    int32_t kind[32] = {};
    int32_t onoff[32] = {};
    int32_t blocks[32][kParameterWords] = {};
};

// Byte offsets of the fields in the file.
constexpr int kChainVersionOffset = 2;
constexpr int kChainKindOffset = 4;
constexpr int kChainOnOffOffset = 132;
constexpr int kChainBlocksOffset = 260;

// Reads one record from the start of the file into `rec`. False (and `rec` untouched, the reason in
// `why` if given) when the file cannot be opened, is not a regular file (a FIFO or a device is
// never read) or holds fewer than 13188 bytes. Bytes after the record are ignored.
bool read_chain_file(const std::string& path, ChainFile& rec, std::string* why = nullptr);

// Writes the record beside `path` under a temporary name, then renames it, so that a failure never
// leaves a truncated preset under the final name. Returns "" or the reason.
std::string write_chain_file(const std::string& path, const ChainFile& rec);

// Kind numbers of files older than version 303, mapped onto today's rows; others pass unchanged.
int32_t map_old_kind(int32_t stored);

// The name a save dialog's answer is saved under: ".pre" is appended unless the first occurrence of
// ".pre" (case-sensitive) ends exactly at the end.
std::string with_pre_suffix(const std::string& path);

// The file-name prefix that key F<n> (1..12) loads; "" for any other n. F1's has a trailing blank
// so that it does not match F10..F12.
std::string fkey_prefix(int n);

// Paths are at most 255 characters.
std::string cut_path(const std::string& path);

// The slots 1..16 of `rec` whose kind (after the renumbering of older versions) names no kind
// 0..13, with the kind as stored.
std::vector<std::pair<int, int32_t>> unknown_kinds(const ChainFile& rec);

// A kind a rack can hold: 0..13 as it stands, anything else the empty slot.
EffectKind rack_kind(int32_t stored);

// --- the rack side, shared by the main window and the command-line tools ---------------------
// Both take one scratch parameter block, cleared once at the start, not between slots.

// Fills the used fields of `rec` from the rack: kind, on/off and words 0..72 of the parameters of
// each entry (read through its ParamsFn, so words an effect does not write keep what the previous
// slot left), and version 303. Every other field keeps what it held.
void fill_chain_record(ChainFile& rec, const ChainTable& rack);

// Called for slots 0..15 in order, just before the slot's new instance is made, with the kind the
// record asks for (always 0..13): the place to retire the slot's old instance (the main window closes
// its editor, which may write a settings file that the new instance reads). Returns the kind the
// slot takes. The old instance must go on processing: it is freed only after the exchange.
using ChainSlotPreparer = std::function<EffectKind(int32_t slot, EffectKind kind)>;

// Applies `rec` to `rack` while the old rack goes on playing: maps the kinds of files older than 303
// in the record, makes a new instance for each of slots 0..15 in order (after `prepare_slot`; a kind
// outside 0..13 becomes the empty slot), switched on where the record's on/off is non-zero, and hands
// each entry 0..count-1 words 0..72 of its block through its ParamsFn. Only then is load_gate closed,
// the walk in progress waited for, the new table put into `rack` and the runner's copy, and the gate
// opened: at most one block passes unprocessed. Returns the instances that slots 0..15 of `rack` held
// at the exchange; no walk can reach them any more and the caller frees them.
std::array<EffectInstance, 16> apply_chain_record(ChainFile& rec, ChainTable& rack,
                                                   const ChainSlotPreparer& prepare_slot);

}  // namespace vx
