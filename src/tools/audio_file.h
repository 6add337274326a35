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
    int64_t frames() const { return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0; }
};

// Returns "" or the reason the file could not be read.
std::string read_audio(const std::string& path, AudioData& out);

// Writes a WAV file: 32-bit float (sample / 32768, exact) or 16-bit PCM (rounded half to even and
// clamped). Written under a temporary name beside `path` and renamed at the end, so that a failure
// never leaves a partial file under the final name. Returns "" or the reason.
std::string write_wav(const std::string& path, const AudioData& data, bool pcm16);

}  // namespace vx
