#include "audio_file.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace vx {

namespace {
struct SndCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SndPtr = std::unique_ptr<SNDFILE, SndCloser>;
}  // namespace

std::string read_audio(const std::string& path, AudioData& out) {
    SF_INFO info{};
    SndPtr f(sf_open(path.c_str(), SFM_READ, &info));
    if (!f) return "cannot read \"" + path + "\": " + sf_strerror(nullptr);
    if (info.channels < 1 || info.channels > 2)
        return "\"" + path + "\" has " + std::to_string(info.channels) + " channels; only mono and stereo are processed";
    if (info.samplerate <= 0) return "\"" + path + "\" has no valid sample rate";
    const bool pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    out.sample_rate = info.samplerate;
    out.channels = info.channels;
    out.samples.clear();
    std::vector<float> chunk(static_cast<size_t>(4096 * info.channels));
    if (pcm16) {
        // The integer values themselves, not normalised.
        std::vector<short> s(chunk.size());
        for (;;) {
            const sf_count_t got = sf_readf_short(f.get(), s.data(), 4096);
            if (got <= 0) break;
            for (sf_count_t i = 0; i < got * info.channels; ++i) out.samples.push_back(static_cast<float>(s[static_cast<size_t>(i)]));
        }
    } else {
        for (;;) {
            const sf_count_t got = sf_readf_float(f.get(), chunk.data(), 4096);
            if (got <= 0) break;
            for (sf_count_t i = 0; i < got * info.channels; ++i) out.samples.push_back(chunk[static_cast<size_t>(i)] * 32768.0f);
        }
    }
    if (sf_error(f.get()) != SF_ERR_NO_ERROR) return "cannot read \"" + path + "\": " + sf_strerror(f.get());
    return "";
}

std::string write_wav(const std::string& path, const AudioData& data, bool pcm16) {
    if (data.channels < 1 || data.sample_rate <= 0) return "nothing to write";
    const std::string tmp = path + ".part-" + std::to_string(::getpid());
    SF_INFO info{};
    info.samplerate = data.sample_rate;
    info.channels = data.channels;
    info.format = SF_FORMAT_WAV | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    SNDFILE* raw = sf_open(tmp.c_str(), SFM_WRITE, &info);
    if (raw == nullptr) return "cannot write \"" + path + "\": " + sf_strerror(nullptr);
    SndPtr f(raw);
    bool ok = true;
    const size_t total = data.samples.size();
    const size_t step = static_cast<size_t>(4096 * data.channels);
    for (size_t at = 0; at < total && ok; at += step) {
        const size_t n = std::min(step, total - at);
        const sf_count_t frames = static_cast<sf_count_t>(n / static_cast<size_t>(data.channels));
        if (pcm16) {
            std::vector<short> s(n);
            for (size_t i = 0; i < n; ++i) {
                const double v = std::nearbyint(static_cast<double>(data.samples[at + i]));
                s[i] = std::isnan(v) ? 0 : static_cast<short>(std::clamp(v, -32768.0, 32767.0));
            }
            ok = sf_writef_short(f.get(), s.data(), frames) == frames;
        } else {
            std::vector<float> s(n);
            for (size_t i = 0; i < n; ++i) s[i] = data.samples[at + i] / 32768.0f;
            ok = sf_writef_float(f.get(), s.data(), frames) == frames;
        }
    }
    const std::string err = ok ? "" : sf_strerror(f.get());
    if (sf_close(f.release()) != 0) ok = false;
    if (!ok) {
        std::remove(tmp.c_str());
        return "cannot write \"" + path + "\": " + (err.empty() ? "write failed" : err);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return "cannot write \"" + path + "\": rename failed";
    }
    return "";
}

}  // namespace vx
