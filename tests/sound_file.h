// Small sound files for tests, written through libsndfile: 16-bit PCM from shorts, 32-bit float
// from floats (normalised values, as the file holds them).
#pragma once

#include <sndfile.h>

#include <string>
#include <type_traits>
#include <vector>

namespace vx::test {

// Writes interleaved `samples`; true when the file holds every one of them.
template <class Sample>
bool write_sound_file(const std::string& path, int rate, int channels, const std::vector<Sample>& samples) {
    static_assert(std::is_same_v<Sample, short> || std::is_same_v<Sample, float>);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (std::is_same_v<Sample, short> ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return false;
    const auto n = static_cast<sf_count_t>(samples.size());
    sf_count_t wrote = 0;
    if constexpr (std::is_same_v<Sample, short>)
        wrote = sf_write_short(f, samples.data(), n);
    else
        wrote = sf_write_float(f, samples.data(), n);
    return sf_close(f) == 0 && wrote == n;
}

}  // namespace vx::test
