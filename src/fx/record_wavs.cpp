#include "record_wavs.h"

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <new>

namespace vx {

static_assert(std::endian::native == std::endian::little, "samples are written as they lie in memory");

namespace {

constexpr int32_t kSpareBytes = 100;
constexpr int32_t kFormatChunkBytes = 16;

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Round to nearest, halves to even, for |x| far below 2^51: adding and removing 1.5 x 2^52 leaves
// the rounding to the addition, in the default rounding mode. Much cheaper than a call per sample.
inline double round_half_even(double x) {
    constexpr double kShift = 6755399441055744.0;
    return (x + kShift) - kShift;
}

}  // namespace

const std::array<const char*, 8> TRecord_wav_form::kMemoryEntries = {
    "Allocate 200 KB (1 sec on 48 kHz stereo)", "Allocate 2MB  (10 sec on 48 kHz stereo)",
    "Allocate 4 MB (20 sec on 48 kHz stereo)",  "Allocate 8 MB (40 sec on 48 kHz stereo)",
    "Allocate 12 MB (1 min on 48 kHz stereo)",  "Allocate 24 MB (2 min on 48 kHz stereo)",
    "Allocate 50 MB (4 min on 48 kHz stereo)",  "Allocate 72 MB (6 min on 48 kHz stereo)"};

TRecord_wav_form::TRecord_wav_form() : Form("Record wav", 360, 190) {
    Button_Save.bounds = {16, 16, 104, 28};
    Button_Pause.bounds = {128, 16, 104, 28};
    Button_Stop_and_Save.bounds = {240, 16, 104, 28};
    ComboBox_Memory.bounds = {16, 60, 328, 22};
    Gauge1.bounds = {16, 96, 328, 18};
    Label1.bounds = {16, 128, 328, 18};
    Button_Save.group = Button_Pause.group = Button_Stop_and_Save.group = "Recording";
    ComboBox_Memory.hint = "Recording memory";
    Gauge1.label = "Memory used";
    for (const char* entry : kMemoryEntries) ComboBox_Memory.add_item(entry);
    ComboBox_Memory.set_index(0);
    add(Button_Save);
    add(Button_Pause);
    add(Button_Stop_and_Save);
    add(ComboBox_Memory);
    add(Gauge1);
    add(Label1);
    Button_Save.on_click = [this] { Button_SaveClick(); };
    Button_Pause.on_click = [this] { Button_PauseClick(); };
    Button_Stop_and_Save.on_click = [this] { Button_Stop_and_SaveClick(); };
    ComboBox_Memory.on_change = [this] { ComboBox_MemoryChange(); };
    Timer1.on_timer = [this] { Timer1Timer(); };
    FormCreate();
}

TRecord_wav_form::~TRecord_wav_form() { stop_and_settle(); }

void TRecord_wav_form::FormCreate() {
    shown_once = 0;
    Button_Pause.set_enabled(false);
    Button_Stop_and_Save.set_enabled(false);
    // The memory starts at this size although the list shows its first entry.
    reserve(kCreatedBytes, "Error: out of memory, use smaller buffer or add RAM to your PC!");
}

bool TRecord_wav_form::reserve(int32_t bytes, const char* out_of_memory_text) {
    rec_samples_.reset();
    rec_bytes = bytes;
    rec_capacity = bytes / 2;
    try {
        rec_samples_.reset(new int16_t[static_cast<size_t>(bytes + kSpareBytes) / 2]());
    } catch (const std::bad_alloc&) {
        rec_bytes = 0;
        rec_capacity = 0;
        editor_dialogs().message(out_of_memory_text);
        return false;
    }
    return true;
}

void TRecord_wav_form::stop_and_settle() {
    recording.store(0, std::memory_order_seq_cst);
    wait_for_walk();
}

int16_t TRecord_wav_form::convert(float v) {
    double x = v;
    if (x >= 32000.0) x = 32000.0;
    if (!(x > -32000.0)) x = -32000.0;
    return static_cast<int16_t>(round_half_even(x));
}

void TRecord_wav_form::Record_wav(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer) {
    const uint32_t channels = channelCount == 1 ? 1u : 2u;
    last_format = static_cast<uint64_t>(static_cast<uint32_t>(sampleRate)) << 32 | channels;
    signal_seen = 1;
    if (recording.load(std::memory_order_seq_cst) == 0 || frameCount <= 0) return;
    int16_t* mem = rec_samples_.get();
    if (mem == nullptr) return;
    int32_t count = rec_count;
    // A full memory drops what follows; the status says so.
    if (channels == 1) {
        const int32_t room = rec_capacity - 2 - count;
        const int32_t n = room <= 0 ? 0 : (room < frameCount ? room : frameCount);
        int16_t* out = mem + count;
        for (int32_t k = 0; k < n; ++k) out[k] = convert(buffer[k]);
        count += n;
        if (n < frameCount) memory_full = true;
    } else {
        // A frame is taken while the count is below the limit, so the last one may end past it.
        const int32_t room = rec_capacity - 4 - count;
        const int32_t fit = room <= 0 ? 0 : (room + 1) / 2;
        const int32_t n = fit < frameCount ? fit : frameCount;
        int16_t* out = mem + count;
        for (int32_t k = 0; k < 2 * n; ++k) out[k] = convert(buffer[k]);
        count += 2 * n;
        if (n < frameCount) memory_full = true;
    }
    rec_count = count;
}

TRecord_wav_form::RecFormat TRecord_wav_form::rec_format() const {
    RecFormat f;
    f.channels = static_cast<uint16_t>(rec_channels());
    f.samples_per_sec = static_cast<uint32_t>(last_rate());
    f.avg_bytes_per_sec = f.samples_per_sec * 2u * f.channels;
    f.block_align = static_cast<uint16_t>(f.channels * 2);
    return f;
}

bool TRecord_wav_form::InitFile(std::FILE* file, const RecFormat& format) {
    uint8_t h[20 + 18 + 8] = {};
    std::memcpy(h, "RIFF    WAVEfmt ", 16);
    const uint32_t chunk = format.format_tag == 1 ? kFormatChunkBytes : format.cb_size + 18u;
    put32(h + 16, chunk);
    uint8_t* f = h + 20;
    put16(f, format.format_tag);
    put16(f + 2, format.channels);
    put32(f + 4, format.samples_per_sec);
    put32(f + 8, format.avg_bytes_per_sec);
    put16(f + 12, format.block_align);
    put16(f + 14, format.bits_per_sample);
    put16(f + 16, format.cb_size);
    // A record longer than the 18 bytes it has is padded with zeros.
    const size_t record = chunk < 18 ? chunk : 18;
    if (std::fwrite(h, 1, 20 + record, file) != 20 + record) return false;
    for (uint32_t i = 18; i < chunk; ++i)
        if (std::fputc(0, file) == EOF) return false;
    return std::fwrite("data    ", 1, 8, file) == 8;
}

bool TRecord_wav_form::UpdateFile(std::FILE* file, const RecFormat& format, uint32_t dataBytes) {
    const uint32_t chunk = format.format_tag == 1 ? kFormatChunkBytes : format.cb_size + 18u;
    uint8_t v[4];
    put32(v, 20 + chunk + dataBytes);  // the file's length - 8
    if (std::fseek(file, 4, SEEK_SET) != 0 || std::fwrite(v, 1, 4, file) != 4) return false;
    put32(v, dataBytes);
    return std::fseek(file, static_cast<long>(chunk + 24), SEEK_SET) == 0 && std::fwrite(v, 1, 4, file) == 4;
}

bool TRecord_wav_form::save_take(const std::string& path) {
    namespace fs = std::filesystem;
    EditorDialogs& dialogs = editor_dialogs();
    stop_and_settle();
    std::error_code ec;
    if (path.empty() || fs::is_directory(path, ec)) {
        dialogs.warning("Error! Can NOT open Out wav");
        return false;
    }
    // Written beside the target and renamed when complete: a failure leaves no partial file, and
    // an earlier file of that name stays as it was.
    const std::string part = path + ".part";
    std::FILE* f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) {
        dialogs.warning("Error! Can NOT Rewrite Out wav");
        return false;
    }
    const RecFormat format = rec_format();
    int32_t samples = rec_count;
    if (samples > rec_capacity) samples = rec_capacity;
    if (rec_samples_ == nullptr || samples < 0) samples = 0;
    const size_t bytes = static_cast<size_t>(samples) * 2;
    bool ok = InitFile(f, format);
    const size_t written = ok && bytes > 0 ? std::fwrite(rec_samples_.get(), 1, bytes, f) : 0;
    ok = ok && written == bytes && UpdateFile(f, format, static_cast<uint32_t>(written));
    ok = ok && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        fs::remove(part, ec);
        dialogs.message("Error during recording into wav file, may be there is no enough free space on hard disk");
        return false;
    }
    fs::rename(part, path, ec);
    if (ec) {
        fs::remove(part, ec);
        dialogs.warning("Error! Can NOT Rewrite Out wav");
        return false;
    }
    rec_count = 0;
    memory_full = false;
    Button_Save.set_enabled(true);
    Button_Pause.set_enabled(false);
    Button_Pause.set_caption("Pause");
    Button_Stop_and_Save.set_enabled(false);
    ComboBox_Memory.set_enabled(true);
    return true;
}

void TRecord_wav_form::Button_SaveClick() {
    ComboBox_Memory.set_enabled(false);
    // The block in progress must not carry its count over the fresh start.
    stop_and_settle();
    rec_count = 0;
    memory_full = false;
    if (rec_samples_ != nullptr) {
        Button_Save.set_enabled(false);
        Button_Pause.set_enabled(true);
        Button_Pause.set_caption("Pause");
        Button_Stop_and_Save.set_enabled(true);
        recording.store(1, std::memory_order_seq_cst);
    } else {
        editor_dialogs().message("Error: memory for wav recording buffer was not allocated");
        // Without memory no take can run, and the list is the way to get some.
        ComboBox_Memory.set_enabled(true);
    }
}

void TRecord_wav_form::Button_PauseClick() {
    if (recording.load() == 1) {
        recording.store(0);
        Button_Pause.set_caption("Continue");
    } else {
        recording.store(1);
        Button_Pause.set_caption("Pause");
    }
}

void TRecord_wav_form::Button_Stop_and_SaveClick() {
    stop_and_settle();
    FileDialogRequest r;
    r.title = "Save wav file";
    r.filters = {"wav files (*.wav)"};
    const std::optional<std::string> chosen = editor_dialogs().save_file(r);
    if (!chosen) return;
    save_take(*chosen);
}

void TRecord_wav_form::ComboBox_MemoryChange() {
    const int i = ComboBox_Memory.index();
    if (i < 0 || i >= static_cast<int>(kMemoryBytes.size())) return;
    stop_and_settle();
    reserve(kMemoryBytes[static_cast<size_t>(i)], "Error: out of memory, use smaller buffer or add RAM to your PC!");
}

void TRecord_wav_form::Timer1Timer() {
    const int32_t capacity = rec_capacity;
    Gauge1.set_value(capacity > 0 ? static_cast<int>(std::nearbyint(static_cast<double>(rec_count) / capacity * 100.0)) : 0);
    if (tick_phase == 0) {
        signal_seen = 0;
    } else if (signal_seen == 1) {
        if (memory_full)
            Label1.set_caption("Memory full: the take ends here. Stop and Save keeps it");
        else
            Label1.set_caption(std::string("Signals detected : ") + (rec_channels() == 1 ? "mono  " : "stereo  ") +
                               std::to_string(last_rate()) + " kHz");
        if (!Button_Save.enabled()) Button_Save.set_enabled(true);
    } else {
        stop_and_settle();
        Label1.set_caption("no signals");
        Button_Save.set_enabled(false);
        Button_Pause.set_enabled(false);
        // A take in memory can still be saved once the engine has stopped.
        Button_Stop_and_Save.set_enabled(rec_count > 0);
    }
    tick_phase = 1 - tick_phase;
}

VX_REGISTER_KIND(12, TRecord_wav_form, Record_wav)

}  // namespace vx
