// Playback wav file: a backing track. Reads a 16-bit PCM WAV file (mono or stereo) into memory once
// and adds it, frame by frame and in an endless loop, to the signal passing through the slot, at
// the engine's rate without conversion. A stereo file in a mono engine is summed (x 0.707); a mono
// file in a stereo engine goes to both sides. Latency: none. Controls:
//   spSkinButton1     "Open wav file": choose a file and load it (remembered in playback.ini)
//   spSkinMemo1       the log of loads
//   spSkinScrollBar1  0..100, 50, "Gain": not connected; the file always plays at x1
// The file played is remembered in "playback.ini" of the program folder ([File] Path), shared by
// every instance; nothing of this effect goes into a chain file.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/effect_unit.h"
#include "engine/forms.h"

namespace vx {

// The first 18 bytes of a format chunk, little-endian.
struct WavFormat {
    uint16_t format_tag = 0;
    uint16_t channels = 0;
    uint32_t samples_per_sec = 0;
    uint32_t avg_bytes_per_sec = 0;
    uint16_t block_align = 0;
    uint16_t bits_per_sample = 0;
    uint16_t cb_size = 0;
};

class TReadWav : public Form {
public:
    TReadWav();
    ~TReadWav() override;

    void create_defaults();
    void Read_wav_file(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);

    // Opens and checks `path`, reads the format and the data chunk header and logs them. 0 with the
    // file left at the first sample byte, or -1 after saying why.
    int32_t LoadFile(const std::string& path);
    void spSkinButton1Click();
    // The load of wav_path without the dialog and without writing playback.ini.
    void SaveFilePlayBack();

    Button spSkinButton1{"spSkinButton1", "Open wav file"};
    Memo spSkinMemo1{"spSkinMemo1"};
    Slider spSkinScrollBar1{"spSkinScrollBar1", 0, 100, 50};

    std::string wav_path;
    WavFormat wav_format;
    int32_t data_size = 0;
    // Frames the file declares; frames from held_frames on have no memory behind them and play
    // as silence.
    int32_t frame_total = 0;
    int32_t held_frames = 0;
    relaxed<int32_t> play_pos{0};
    // 1 while the sample memory holds a complete load. The fields above and the memory change only
    // while it is 0 and no walk of the runner is in progress.
    std::atomic<int32_t> play_ready{0};
    float play_gain = 1.0f;

    // Bytes of sample memory reserved by the last load (the held data plus 100 spare bytes).
    size_t reserved_bytes() const { return reserved_bytes_; }
    const int16_t* sample_data() const { return sample_data_.get(); }

    static constexpr int32_t kMaxFormatSize = 400;
    static constexpr int32_t kDataScanPositions = 50001;

private:
    void FormCreate();
    // The load shared by the button and SaveFilePlayBack; true once play_ready is 1.
    bool load(bool from_button);
    // Empties the player so that no block reads the old memory, then frees it.
    void release();

    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::unique_ptr<int16_t[]> sample_data_;
    size_t reserved_bytes_ = 0;
};

// "playback.ini" of the program folder.
std::string playback_ini_path();

}  // namespace vx
