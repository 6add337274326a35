// Audio files for the tools, through libsndfile, on the engine's 16-bit scale: a 16-bit PCM sample
// keeps its integer value, any other sample is its normalised value times 32768.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

struct AudioData {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    std::vector<float> samples;  // interleaved
    int64_t non_finite = 0;      // NaN or infinite samples of the file, read as silence
    int64_t frames() const { return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0; }
};

// Returns "" or the reason the file could not be read.
std::string read_audio(const std::string& path, AudioData& out);

// Writes a WAV file: 32-bit float (sample / 32768, exact) or 16-bit PCM (rounded half to even and
// clamped). Written under a temporary name beside `path` and renamed at the end, so that a failure
// never leaves a partial file under the final name. Returns "" or the reason.
std::string write_wav(const std::string& path, const AudioData& data, bool pcm16);

// A file read a piece at a time, on the engine's scale, so that a long file never has to fit in memory.
class AudioReader {
public:
    AudioReader();
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;
    // "" or the reason the file cannot be read (also for more than two channels or no rate).
    std::string open(const std::string& path);
    int32_t sample_rate() const { return sample_rate_; }
    int32_t channels() const { return channels_; }
    int64_t frames() const { return frames_; }  // as the header says
    // Reads up to `frames` frames into `dst`; fewer only at the end of the file. -1 on a read error
    // (the reason in error()).
    int64_t read(float* dst, int64_t frames);
    std::string error() const;
    // NaN or infinite samples read so far; each was read as silence.
    int64_t non_finite() const { return non_finite_; }

private:
    struct Impl;
    Impl* impl_;
    std::string path_;
    int64_t non_finite_ = 0;
    int32_t sample_rate_ = 0, channels_ = 0;
    int64_t frames_ = 0;
    bool pcm16_ = false;
    std::vector<short> shorts_;
};

// A WAV file written a piece at a time, with write_wav's formats, under a temporary name beside
// `path` that finish() renames; a writer destroyed unfinished removes it.
class AudioWriter {
public:
    AudioWriter();
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;
    std::string open(const std::string& path, int32_t sample_rate, int32_t channels, bool pcm16);
    bool write(const float* samples, int64_t frames);
    // Closes and renames; "" or the reason (the temporary file is gone then).
    std::string finish();

private:
    struct Impl;
    Impl* impl_;
    std::string path_, tmp_;
    int32_t channels_ = 0;
    bool pcm16_ = false;
    std::vector<short> shorts_;
    std::vector<float> floats_;
};

}  // namespace vx
