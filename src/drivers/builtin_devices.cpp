#include "builtin_devices.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "engine/test_signal.h"

namespace vx {

namespace {
std::atomic<double> clock_speed{1.0};
}

void set_builtin_clock_speed(double factor) {
    if (std::isfinite(factor) && factor > 0.0) clock_speed.store(factor);
}

double builtin_clock_speed() { return clock_speed.load(); }

PacingClock::PacingClock(double period_seconds, int max_late)
    : period_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(period_seconds / builtin_clock_speed()))),
      next_(std::chrono::steady_clock::now()), max_late_(std::max(max_late, 1)) {
    if (period_.count() <= 0) period_ = std::chrono::steady_clock::duration(1);
}

void PacingClock::wait_next() {
    next_ += period_;
    const auto now = std::chrono::steady_clock::now();
    if (now > next_ + max_late_ * period_) {
        next_ = now;
        ++resyncs_;
        return;
    }
    std::this_thread::sleep_until(next_);
}

// --- Test signal --------------------------------------------------------------------------------

std::string TestSignalInput::start(int32_t sample_rate, int32_t channels, int32_t block_frames, BlockSink sink) {
    stop();
    if (sample_rate <= 0) return "the sample rate must be positive";
    if (block_frames <= 0) return "the block size must be positive";
    if (sink == nullptr) return "no processing callback";
    rate_ = sample_rate;
    channels_ = std::clamp(channels, 1, 2);
    block_ = block_frames;
    phrase_ = make_test_phrase(rate_, 4.0);
    if (phrase_.empty()) return "the test phrase could not be made";
    buffer_.assign(static_cast<size_t>(block_) * channels_, 0.0f);
    sink_ = sink;
    stop_.store(false);
    thread_ = std::thread([this] { run(); });
    return "";
}

void TestSignalInput::run() {
    PacingClock clock(static_cast<double>(block_) / rate_, 2);
    size_t pos = 0;
    const size_t len = phrase_.size();
    while (!stop_.load(std::memory_order_relaxed)) {
        clock.wait_next();
        if (stop_.load(std::memory_order_relaxed)) break;
        for (int32_t i = 0; i < block_; ++i) {
            const float v = phrase_[pos];
            pos = pos + 1 == len ? 0 : pos + 1;
            for (int32_t c = 0; c < channels_; ++c) buffer_[static_cast<size_t>(i) * channels_ + c] = v;
        }
        sink_(buffer_.data(), block_);
    }
}

void TestSignalInput::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

// --- Null and WAV file outputs ------------------------------------------------------------------

std::string BuiltinOutput::start(Kind kind, const std::string& wav_path, int32_t sample_rate, OutputQueue& queue) {
    stop();
    if (sample_rate <= 0) return "the sample rate must be positive";
    kind_ = kind;
    queue_ = &queue;
    rate_ = sample_rate;
    write_error_.clear();
    write_failed_.store(false);
    path_ = wav_path;
    if (kind == Kind::WavFile) {
        if (wav_path.empty()) return "no file name for the WAV file output";
        std::error_code ec;
        const auto folder = std::filesystem::path(wav_path).parent_path();
        if (!folder.empty()) std::filesystem::create_directories(folder, ec);
        SF_INFO info{};
        info.samplerate = sample_rate;
        info.channels = queue.channels();
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(wav_path.c_str(), SFM_WRITE, &info);
        if (f == nullptr) return wav_path + ": " + sf_strerror(nullptr);
        file_ = f;
    }
    buffer_.assign(static_cast<size_t>(queue.block_frames()) * queue.channels(), 0);
    stop_.store(false);
    thread_ = std::thread([this] { run(); });
    return "";
}

void BuiltinOutput::run() {
    const int32_t frames = queue_->block_frames();
    // A late output catches up by playing what is queued, up to a few blocks at once.
    PacingClock clock(static_cast<double>(frames) / rate_, 8);
    bool started = false;
    while (!stop_.load(std::memory_order_relaxed)) {
        clock.wait_next();
        if (stop_.load(std::memory_order_relaxed)) break;
        const OutputQueue::Pull p = queue_->pull(buffer_.data(), frames);
        // Once playing has begun the file gets every period, the silence of an underrun included.
        started = started || p != OutputQueue::Pull::Waiting;
        if (started && file_ != nullptr && !write_failed_.load(std::memory_order_relaxed) &&
            sf_writef_short(static_cast<SNDFILE*>(file_), buffer_.data(), frames) != frames)
            fail_writing(sf_strerror(static_cast<SNDFILE*>(file_)));
    }
}

void BuiltinOutput::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (file_ != nullptr) {
        // Closing writes the sizes into the header; without them the file is not complete.
        if (sf_close(static_cast<SNDFILE*>(file_)) != 0 && !write_failed_.load())
            fail_writing("the file could not be completed");
        file_ = nullptr;
    }
}

void BuiltinOutput::fail_writing(const std::string& why) {
    write_error_ = path_ + ": " + why + "; the audio after that point is not in the file";
    write_failed_.store(true, std::memory_order_release);
}

int64_t BuiltinOutput::held_frames() const {
    return queue_ != nullptr && running() && queue_->playing() ? queue_->block_frames() : 0;
}

}  // namespace vx
