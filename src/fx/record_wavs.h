// Record wav: records the signal at its place in the rack (the output of the slots above it) into
// memory as 16-bit samples, clamped to +-32000, and writes it to a WAV file on "Stop and Save". The
// signal passes unchanged. Latency: none. Controls:
//   Button_Save           "Start Recording": starts a take from the beginning (discards one in memory)
//   Button_Pause          "Pause" / "Continue"
//   Button_Stop_and_Save  stops and writes the take to a file chosen in a dialog
//   ComboBox_Memory       size of the recording memory, 200 KB .. 72 MB (1 s .. 6 min at 48 kHz stereo)
//   Gauge1                how full the memory is, 0..100 %
//   Label1                what the engine delivers: "no signals", or channels and rate
//   Timer1                100 ms: gauge, status and the signal watch (a check every second tick)
// Nothing of this effect goes into a chain file.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/effect_unit.h"
#include "engine/forms.h"

namespace vx {

class TRecord_wav_form : public Form {
public:
    TRecord_wav_form();
    ~TRecord_wav_form() override;

    void create_defaults() {}
    void Record_wav(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t*) {}
    void put_parameters(const int32_t*) {}

    void Button_SaveClick();
    void Button_PauseClick();
    void Button_Stop_and_SaveClick();
    void ComboBox_MemoryChange();
    void Timer1Timer();

    // Writes the take in memory to `path`, as "Stop and Save" does after its dialog: through a
    // temporary file beside it, renamed when complete. On success the memory is empty and the
    // buttons are back at rest; on failure the user has been told, any earlier file of that name
    // is untouched and the take stays in memory. The tools call it without a dialog.
    bool save_take(const std::string& path);

    Button Button_Save{"Button_Save", "Start Recording"};
    Button Button_Pause{"Button_Pause", "Pause"};
    Button Button_Stop_and_Save{"Button_Stop_and_Save", "Stop and Save"};
    Selector ComboBox_Memory{"ComboBox_Memory"};
    Meter Gauge1{"Gauge1", 0, 100};
    Label Label1{"Label1", "no signals"};
    FormTimer Timer1{100};

    static constexpr std::array<int32_t, 8> kMemoryBytes = {200000,  2000000,  4000000,  8000000,
                                                            12000000, 24000000, 50000000, 72000000};
    static const std::array<const char*, 8> kMemoryEntries;
    static constexpr int32_t kCreatedBytes = 960000;

    // The recording memory and its size change only while `recording` is 0 and no walk of the
    // runner is in progress.
    int32_t rec_bytes = 0;
    int32_t rec_capacity = 0;
    relaxed<int32_t> rec_count{0};
    // seq_cst: a handler that cleared it and then saw no walk knows no block writes the memory.
    std::atomic<int32_t> recording{0};
    // Channel count and rate of the last block, as one word: rate << 32 | channels.
    relaxed<uint64_t> last_format{48000ull << 32 | 1u};
    relaxed<int32_t> signal_seen{0};
    relaxed<bool> memory_full{false};
    int32_t tick_phase = 0;

    int32_t last_rate() const { return static_cast<int32_t>(last_format.load() >> 32); }
    int32_t rec_channels() const { return static_cast<int32_t>(last_format.load() & 0xFFFFFFFFu); }
    const int16_t* rec_samples() const { return rec_samples_.get(); }

    // The format record of the last block processed: PCM, 16 bits.
    struct RecFormat {
        uint16_t format_tag = 1;
        uint16_t channels = 1;
        uint32_t samples_per_sec = 48000;
        uint32_t avg_bytes_per_sec = 96000;
        uint16_t block_align = 2;
        uint16_t bits_per_sample = 16;
        uint16_t cb_size = 0;
    };
    RecFormat rec_format() const;
    // The WAV header: InitFile writes it with blanks for the two sizes, UpdateFile fills them in.
    static bool InitFile(std::FILE* file, const RecFormat& format);
    static bool UpdateFile(std::FILE* file, const RecFormat& format, uint32_t dataBytes);
    // One sample on the 16-bit scale as stored: clamped to +-32000 (NaN: -32000), halves to even.
    static int16_t convert(float v);

private:
    void FormCreate();
    // Reserves `bytes` of recording memory (plus the spare), zeroed; says why when it cannot.
    bool reserve(int32_t bytes, const char* out_of_memory_text);
    // Stops the take and waits until no block can still be writing into the memory.
    void stop_and_settle();

    std::unique_ptr<int16_t[]> rec_samples_;
};

}  // namespace vx
