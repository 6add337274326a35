#include "read_wav.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <string_view>
#include <vector>

#include "engine/ini.h"
#include "engine/program_folder.h"
#include "engine/units.h"

namespace vx {

namespace {

constexpr int32_t kMinFileSize = 46;
constexpr int32_t kSpareBytes = 100;
constexpr uint16_t kTagPcm = 1, kTagFloat = 3, kTagExtensible = 0xFFFE;
// The sub-format GUID of the extensible form after its first two bytes (the tag).
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

size_t read_at(std::FILE* f, int64_t offset, void* dst, size_t n) {
    if (::fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
    return std::fread(dst, 1, n, f);
}

// What a format the player cannot play is, in words; "" when it is 16-bit PCM, mono or stereo.
std::string refusal(const WavFormat& w, const uint8_t* chunk, uint32_t chunk_size, int32_t data_size) {
    if (w.channels == 0 || w.channels > 2)
        return "This wav file declares " + std::to_string(w.channels) +
               " channels; only mono and stereo files can be played.";
    uint16_t tag = w.format_tag;
    if (tag == kTagExtensible && chunk_size >= 40 && std::memcmp(chunk + 26, kSubFormatTail, 14) == 0)
        tag = u16(chunk + 24);
    if (tag == kTagFloat)
        return "This wav file holds floating-point samples (" + std::to_string(w.bits_per_sample) +
               " bits); only 16-bit PCM files can be played.";
    if (tag != kTagPcm)
        return "This wav file is not PCM (format tag " + std::to_string(w.format_tag) +
               "); only 16-bit PCM files can be played.";
    if (w.bits_per_sample != 16)
        return "This wav file has " + std::to_string(w.bits_per_sample) +
               " bits per sample; only 16-bit PCM files can be played.";
    if (data_size < 0)
        return "This wav file declares " + std::to_string(static_cast<uint32_t>(data_size)) +
               " bytes of samples, more than a wav file can hold.";
    return "";
}

}  // namespace

std::string playback_ini_path() { return (program_home() / "playback.ini").string(); }

TReadWav::TReadWav() : Form("Read wav file", 420, 300) {
    spSkinButton1.bounds = {16, 12, 140, 28};
    spSkinMemo1.bounds = {16, 52, 388, 190};
    spSkinScrollBar1.bounds = {16, 256, 388, 17};
    spSkinScrollBar1.hint = "Gain";
    add(spSkinButton1);
    add(spSkinMemo1);
    add(spSkinScrollBar1);
    spSkinButton1.on_click = [this] { spSkinButton1Click(); };
    // The slider has no handler: the track always plays at the gain the kind sets, and says so.
    spSkinScrollBar1.unit_text = [this] { return gain_text(play_gain); };
    FormCreate();
}

TReadWav::~TReadWav() { release(); }

void TReadWav::FormCreate() {
    shown_once = 0;
    namespace fs = std::filesystem;
    const std::string ini_path = playback_ini_path();
    const std::string demo = (program_home() / "demo1.wav").string();
    std::error_code ec;
    const bool ini_exists = fs::exists(ini_path, ec);
    if (!ini_exists && !settings_read_only()) {
        IniFile ini(ini_path);
        ini.write_string("File", "Path", demo);
        ini.save();
    }
    if (!ini_exists && settings_read_only()) {
        wav_path = demo;
    } else {
        IniFile ini(ini_path);
        wav_path = ini.read_string("File", "Path", "ERROR");
    }
    if (fs::is_regular_file(wav_path, ec)) SaveFilePlayBack();
}

void TReadWav::create_defaults() { play_gain = 1.0f; }

void TReadWav::release() {
    play_ready.store(0, std::memory_order_seq_cst);
    wait_for_walk();
    sample_data_.reset();
    reserved_bytes_ = 0;
    held_frames = 0;
}

int32_t TReadWav::LoadFile(const std::string& path) {
    EditorDialogs& dialogs = editor_dialogs();
    file_.reset(std::fopen(path.c_str(), "rb"));
    struct stat st {};
    if (!file_ || ::fstat(::fileno(file_.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        file_.reset();
        dialogs.warning("File access error");
        return -1;
    }
    std::FILE* f = file_.get();
    const int64_t size = st.st_size;
    if (size < kMinFileSize) {
        dialogs.warning("Too small file! There is no space for WaveFormatEx!");
        return -1;
    }
    char tag8[8] = {};
    read_at(f, 8, tag8, 8);
    if (std::string_view(tag8, 8).find("WAVEfmt") == std::string_view::npos) {
        dialogs.message("WAVEfmt Substring not found");
        return -1;
    }
    uint8_t size_bytes[4] = {};
    read_at(f, 16, size_bytes, 4);
    const uint32_t format_size = u32(size_bytes);
    if (format_size < 16) {
        dialogs.message("Too small size of Wave-Format-Size sructure");
        return -1;
    }
    if (format_size > static_cast<uint32_t>(kMaxFormatSize)) {
        dialogs.message("Too big size of Wave-Format-Size sructure");
        return -1;
    }
    uint8_t chunk[kMaxFormatSize] = {};
    read_at(f, 20, chunk, format_size);
    wav_format.format_tag = u16(chunk);
    wav_format.channels = u16(chunk + 2);
    wav_format.samples_per_sec = u32(chunk + 4);
    wav_format.avg_bytes_per_sec = u32(chunk + 8);
    wav_format.block_align = u16(chunk + 12);
    wav_format.bits_per_sample = u16(chunk + 14);
    wav_format.cb_size = u16(chunk + 16);

    // Whatever lies between the format chunk and "data" (LIST chunks, pad bytes) is passed over.
    const int64_t scan_from = 20 + static_cast<int64_t>(format_size);
    std::vector<char> window(static_cast<size_t>(kDataScanPositions) + 3);
    const size_t got = read_at(f, scan_from, window.data(), window.size());
    const size_t found = std::string_view(window.data(), got).find("data");
    if (found == std::string_view::npos) {
        dialogs.message("data Substring not found");
        return -1;
    }
    const int64_t size_at = scan_from + static_cast<int64_t>(found) + 4;
    uint8_t data_bytes[4] = {};
    read_at(f, size_at, data_bytes, 4);
    data_size = static_cast<int32_t>(u32(data_bytes));
    ::fseeko(f, static_cast<off_t>(size_at + 4), SEEK_SET);

    spSkinMemo1.add_line("Channels=" + std::to_string(wav_format.channels));
    spSkinMemo1.add_line("Samples Per Second=" + std::to_string(wav_format.samples_per_sec));
    spSkinMemo1.add_line("Bits Per Sample=" + std::to_string(wav_format.bits_per_sample));
    spSkinMemo1.add_line("Data Size =" + std::to_string(data_size));

    // Read as anything else, such a file plays as loud noise or cannot be framed at all.
    if (const std::string why = refusal(wav_format, chunk, format_size, data_size); !why.empty()) {
        dialogs.message(why);
        return -1;
    }
    return 0;
}

bool TReadWav::load(bool from_button) {
    EditorDialogs& dialogs = editor_dialogs();
    if (from_button) {
        FileDialogRequest r;
        r.title = "Open file";
        r.filters = {"wav (*.wav)"};
        if (auto chosen = dialogs.open_file(r)) wav_path = *chosen;
    }
    spSkinMemo1.add_line("file name: " + wav_path);
    release();
    if (LoadFile(wav_path) != 0) {
        file_.reset();
        dialogs.message("Error: wrong wav file format.");
        return false;
    }
    std::FILE* f = file_.get();
    const int64_t start = ::ftello(f);
    struct stat st {};
    ::fstat(::fileno(f), &st);
    // Only what the file holds gets memory; a declared remainder beyond it plays as silence.
    const int64_t held_bytes = std::clamp<int64_t>(static_cast<int64_t>(st.st_size) - start, 0, data_size);
    const size_t words = static_cast<size_t>((held_bytes + kSpareBytes + 1) / 2);
    try {
        sample_data_.reset(new int16_t[words]());
    } catch (const std::bad_alloc&) {
        file_.reset();
        dialogs.message("Error: Out of memory, use smaller wav file or add RAM to your PC!");
        return false;
    }
    reserved_bytes_ = words * 2;
    const int32_t c = wav_format.channels;
    play_pos = 0;
    frame_total = (data_size / 2) / c;
    const size_t bytes_read = std::fread(sample_data_.get(), 1, static_cast<size_t>(held_bytes), f);
    file_.reset();
    // The samples are little-endian in the file and in memory.
    const int64_t frame_bytes = 2 * c;
    held_frames = static_cast<int32_t>(
        std::min<int64_t>(frame_total, (static_cast<int64_t>(bytes_read) + frame_bytes - 1) / frame_bytes));
    spSkinMemo1.add_line("Read from file: " + std::to_string(bytes_read) + " bytes.");
    spSkinMemo1.add_line("");
    if (from_button && !settings_read_only()) {
        IniFile ini(playback_ini_path());
        ini.write_string("File", "Path", wav_path);
        ini.save();
    }
    play_ready.store(1, std::memory_order_release);
    return true;
}

void TReadWav::spSkinButton1Click() { load(true); }

void TReadWav::SaveFilePlayBack() { load(false); }

void TReadWav::Read_wav_file(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    // seq_cst: a load that cleared the flag and then saw no walk knows no block reads the memory.
    if (play_ready.load(std::memory_order_seq_cst) != 1 || frameCount <= 0) return;
    const int32_t total = frame_total;
    if (total <= 0) return;
    const int32_t held = held_frames;
    const int16_t* s = sample_data_.get();
    const bool stereo_file = wav_format.channels == 2;
    const double g = play_gain;
    int32_t pos = play_pos;
    if (pos < 0 || pos >= total) pos = 0;

    int32_t i = 0;
    while (i < frameCount) {
        // Frames without memory behind them add a zero sample, with the same arithmetic.
        const bool silent = pos >= held;
        const int32_t run = std::min(frameCount - i, (silent ? total : held) - pos);
        if (channelCount == 1) {
            float* out = buffer + i;
            if (silent) {
                for (int32_t k = 0; k < run; ++k) out[k] = static_cast<float>(0.0 * g + out[k]);
            } else if (stereo_file) {
                const int16_t* in = s + 2 * static_cast<size_t>(pos);
                for (int32_t k = 0; k < run; ++k) {
                    const int32_t sum = static_cast<int32_t>(in[2 * k]) + in[2 * k + 1];
                    out[k] = static_cast<float>(static_cast<double>(sum) * 0.707 * g + out[k]);
                }
            } else {
                const int16_t* in = s + pos;
                for (int32_t k = 0; k < run; ++k) out[k] = static_cast<float>(in[k] * g + out[k]);
            }
        } else {
            float* out = buffer + 2 * static_cast<size_t>(i);
            if (silent) {
                for (int32_t k = 0; k < 2 * run; ++k) out[k] = static_cast<float>(0.0 * g + out[k]);
            } else if (stereo_file) {
                const int16_t* in = s + 2 * static_cast<size_t>(pos);
                for (int32_t k = 0; k < 2 * run; ++k) out[k] = static_cast<float>(in[k] * g + out[k]);
            } else {
                const int16_t* in = s + pos;
                for (int32_t k = 0; k < run; ++k) {
                    const double v = in[k] * g;
                    out[2 * k] = static_cast<float>(v + out[2 * k]);
                    out[2 * k + 1] = static_cast<float>(v + out[2 * k + 1]);
                }
            }
        }
        pos += run;
        i += run;
        if (pos >= total) pos = 0;
    }
    play_pos = pos;
}

namespace {
// No ParamsFn: the registry's no-operation entry stands in, so nothing of the player is stored.
const bool registered = register_kind(
    11, KindEntry{&KindAdapter<TReadWav, &TReadWav::Read_wav_file>::process,
                  &KindAdapter<TReadWav, &TReadWav::Read_wav_file>::create, nullptr});
}  // namespace

}  // namespace vx
