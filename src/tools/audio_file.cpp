#include "audio_file.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "engine/samples.h"

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
    if (info.frames > 0) out.samples.reserve(static_cast<size_t>(info.frames * info.channels));
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
        out.non_finite = silence_non_finite(out.samples.data(), static_cast<int64_t>(out.samples.size()));
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

struct AudioReader::Impl {
    SndPtr file;
};

AudioReader::AudioReader() : impl_(new Impl) {}
AudioReader::~AudioReader() { delete impl_; }

std::string AudioReader::open(const std::string& path) {
    path_ = path;
    SF_INFO info{};
    impl_->file.reset(sf_open(path.c_str(), SFM_READ, &info));
    if (!impl_->file) return "cannot read \"" + path + "\": " + sf_strerror(nullptr);
    if (info.channels < 1 || info.channels > 2)
        return "\"" + path + "\" has " + std::to_string(info.channels) + " channels; only mono and stereo are processed";
    if (info.samplerate <= 0) return "\"" + path + "\" has no valid sample rate";
    sample_rate_ = info.samplerate;
    channels_ = info.channels;
    frames_ = info.frames;
    pcm16_ = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    return "";
}

int64_t AudioReader::read(float* dst, int64_t frames) {
    SNDFILE* f = impl_->file.get();
    int64_t got = 0;
    while (got < frames) {
        const sf_count_t want = frames - got;
        float* at = dst + got * channels_;
        sf_count_t n = 0;
        if (pcm16_) {
            // The integer values themselves, not normalised.
            shorts_.resize(static_cast<size_t>(want * channels_));
            n = sf_readf_short(f, shorts_.data(), want);
            for (sf_count_t i = 0; i < n * channels_; ++i) at[i] = static_cast<float>(shorts_[static_cast<size_t>(i)]);
        } else {
            n = sf_readf_float(f, at, want);
            for (sf_count_t i = 0; i < n * channels_; ++i) at[i] *= 32768.0f;
            if (n > 0) non_finite_ += silence_non_finite(at, n * channels_);
        }
        if (n <= 0) break;
        got += n;
    }
    return sf_error(f) != SF_ERR_NO_ERROR ? -1 : got;
}

std::string AudioReader::error() const {
    return "cannot read \"" + path_ + "\": " + sf_strerror(impl_->file.get());
}

struct AudioWriter::Impl {
    SndPtr file;
};

AudioWriter::AudioWriter() : impl_(new Impl) {}

AudioWriter::~AudioWriter() {
    if (impl_->file) {
        impl_->file.reset();
        std::remove(tmp_.c_str());
    }
    delete impl_;
}

std::string AudioWriter::open(const std::string& path, int32_t sample_rate, int32_t channels, bool pcm16) {
    if (channels < 1 || sample_rate <= 0) return "nothing to write";
    path_ = path;
    tmp_ = path + ".part-" + std::to_string(::getpid());
    channels_ = channels;
    pcm16_ = pcm16;
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    impl_->file.reset(sf_open(tmp_.c_str(), SFM_WRITE, &info));
    if (!impl_->file) return "cannot write \"" + path + "\": " + sf_strerror(nullptr);
    return "";
}

bool AudioWriter::write(const float* samples, int64_t frames) {
    const size_t n = static_cast<size_t>(frames * channels_);
    if (pcm16_) {
        shorts_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const double v = std::nearbyint(static_cast<double>(samples[i]));
            shorts_[i] = std::isnan(v) ? 0 : static_cast<short>(std::clamp(v, -32768.0, 32767.0));
        }
        return sf_writef_short(impl_->file.get(), shorts_.data(), frames) == frames;
    }
    floats_.resize(n);
    for (size_t i = 0; i < n; ++i) floats_[i] = samples[i] / 32768.0f;
    return sf_writef_float(impl_->file.get(), floats_.data(), frames) == frames;
}

std::string AudioWriter::finish() {
    const int closed = sf_close(impl_->file.release());
    if (closed != 0) {
        std::remove(tmp_.c_str());
        return "cannot write \"" + path_ + "\": write failed";
    }
    if (std::rename(tmp_.c_str(), path_.c_str()) != 0) {
        std::remove(tmp_.c_str());
        return "cannot write \"" + path_ + "\": rename failed";
    }
    return "";
}

}  // namespace vx
