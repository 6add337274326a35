#include "builtin_devices.h"

#include <sndfile.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <cmath>
#include <filesystem>

#include "engine/samples.h"
#include "engine/test_signal.h"

namespace vx {

namespace {
std::atomic<double> clock_speed{1.0};

// The hand-stepped clock: its time, and the pacing clocks that run on it in the order they started.
struct ManualClock {
    std::mutex m;
    std::condition_variable cv;
    bool on = false;
    int64_t now = 0;
    std::vector<PacingClock*> clocks;
};
ManualClock& manual() {
    static ManualClock c;
    return c;
}
}  // namespace

void set_builtin_clock_speed(double factor) {
    if (std::isfinite(factor) && factor > 0.0) clock_speed.store(factor);
}

double builtin_clock_speed() { return clock_speed.load(); }

void set_builtin_clock_manual(bool on) {
    ManualClock& mc = manual();
    std::lock_guard<std::mutex> lock(mc.m);
    mc.on = on;
    mc.now = 0;
}

bool builtin_clock_manual() {
    ManualClock& mc = manual();
    std::lock_guard<std::mutex> lock(mc.m);
    return mc.on;
}

void step_builtin_clock(std::chrono::nanoseconds d) {
    ManualClock& mc = manual();
    std::unique_lock<std::mutex> lock(mc.m);
    const int64_t target = mc.now + d.count();
    // Every device is between blocks (or gone) before the next deadline is granted.
    auto all_waiting = [&] {
        return std::all_of(mc.clocks.begin(), mc.clocks.end(), [&](PacingClock* c) {
            return (c->waiting_ && c->manual_next_ > c->granted_) || (c->stop_ && c->stop_->load());
        });
    };
    for (;;) {
        mc.cv.wait(lock, all_waiting);
        PacingClock* due = nullptr;
        for (PacingClock* c : mc.clocks)
            if (!(c->stop_ && c->stop_->load()) && c->manual_next_ <= target && (due == nullptr || c->manual_next_ < due->manual_next_))
                due = c;
        if (due == nullptr) break;
        mc.now = due->manual_next_;
        due->granted_ = due->manual_next_;
        mc.cv.notify_all();
    }
    mc.now = target;
}

PacingClock::PacingClock(double period_seconds, int max_late, const std::atomic<bool>* stop)
    : period_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(period_seconds / builtin_clock_speed()))),
      next_(std::chrono::steady_clock::now()), max_late_(std::max(max_late, 1)), stop_(stop) {
    if (period_.count() <= 0) period_ = std::chrono::steady_clock::duration(1);
    ManualClock& mc = manual();
    std::lock_guard<std::mutex> lock(mc.m);
    if (mc.on) {
        manual_ = true;
        manual_period_ = std::max<int64_t>(1, static_cast<int64_t>(std::llround(period_seconds * 1e9)));
        manual_next_ = mc.now;
        granted_ = mc.now - 1;
        mc.clocks.push_back(this);
    }
}

PacingClock::~PacingClock() {
    if (!manual_) return;
    ManualClock& mc = manual();
    std::lock_guard<std::mutex> lock(mc.m);
    mc.clocks.erase(std::remove(mc.clocks.begin(), mc.clocks.end(), this), mc.clocks.end());
    mc.cv.notify_all();
}

void PacingClock::wait_next() {
    if (manual_) {
        ManualClock& mc = manual();
        std::unique_lock<std::mutex> lock(mc.m);
        manual_next_ += manual_period_;
        waiting_ = true;
        mc.cv.notify_all();
        mc.cv.wait(lock, [&] { return granted_ >= manual_next_ || (stop_ && stop_->load()); });
        waiting_ = false;
        return;
    }
    next_ += period_;
    const auto now = std::chrono::steady_clock::now();
    if (now > next_ + max_late_ * period_) {
        next_ = now;
        ++resyncs_;
        return;
    }
    std::this_thread::sleep_until(next_);
}

// A device told to stop may be waiting for a hand-stepped period.
static void wake_manual_clock() {
    ManualClock& mc = manual();
    std::lock_guard<std::mutex> lock(mc.m);
    mc.cv.notify_all();
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
    // Made here, so that a hand-stepped clock knows the device from its start.
    clock_ = std::make_unique<PacingClock>(static_cast<double>(block_) / rate_, 2, &stop_);
    thread_ = std::thread([this] { run(); });
    return "";
}

void TestSignalInput::run() {
    PacingClock& clock = *clock_;
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
    wake_manual_clock();
    if (thread_.joinable()) thread_.join();
    clock_.reset();
}

// --- WAV file input ----------------------------------------------------------------------------

std::string WavFileInput::load(const std::string& path, int32_t sample_rate, int32_t channels, std::vector<float>& out) {
    out.clear();
    if (path.empty()) return "no file chosen for the WAV file input";
    if (sample_rate <= 0) return "the sample rate must be positive";
    channels = std::clamp(channels, 1, 2);
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return path + ": " + sf_strerror(nullptr);
    // Ten minutes at 192 kHz is far beyond any practice take; more is a damaged header.
    constexpr sf_count_t kMaxFrames = 192000LL * 600;
    if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0 || info.frames > kMaxFrames) {
        sf_close(f);
        return path + ": no audio in the file";
    }
    std::vector<float> raw(static_cast<size_t>(info.frames) * info.channels);
    const sf_count_t got = sf_readf_float(f, raw.data(), info.frames);
    sf_close(f);
    if (got <= 0) return path + ": the audio could not be read";
    // Two channels of the file: left and right; more: the first two; one: on both.
    auto sample = [&](sf_count_t frame, int c) {
        const int fc = info.channels;
        const float* p = &raw[static_cast<size_t>(frame) * fc];
        if (channels == 1) return fc == 1 ? p[0] : 0.5f * (p[0] + p[1]);
        return p[std::min(c, fc - 1)];
    };
    // Linear interpolation to the engine's rate keeps the pitch, which the tuner reads.
    const double step = static_cast<double>(info.samplerate) / sample_rate;
    const auto frames = static_cast<sf_count_t>(std::floor((got - 1) / step)) + 1;
    out.resize(static_cast<size_t>(frames) * channels);
    for (sf_count_t i = 0; i < frames; ++i) {
        const double x = i * step;
        const auto k = static_cast<sf_count_t>(x);
        const double t = x - k;
        for (int c = 0; c < channels; ++c) {
            const double a = sample(k, c);
            const double b = k + 1 < got ? sample(k + 1, c) : a;
            out[static_cast<size_t>(i) * channels + c] = static_cast<float>((a + (b - a) * t) * 32768.0);
        }
    }
    silence_non_finite(out.data(), static_cast<int64_t>(out.size()));
    return "";
}

std::string WavFileInput::start(const std::string& path, int32_t sample_rate, int32_t channels, int32_t block_frames,
                                BlockSink sink) {
    stop();
    if (block_frames <= 0) return "the block size must be positive";
    if (sink == nullptr) return "no processing callback";
    channels_ = std::clamp(channels, 1, 2);
    if (std::string why = load(path, sample_rate, channels_, samples_); !why.empty()) return why;
    block_ = block_frames;
    buffer_.assign(static_cast<size_t>(block_) * channels_, 0.0f);
    sink_ = sink;
    stop_.store(false);
    clock_ = std::make_unique<PacingClock>(static_cast<double>(block_) / sample_rate, 2, &stop_);
    thread_ = std::thread([this] { run(); });
    return "";
}

void WavFileInput::run() {
    PacingClock& clock = *clock_;
    size_t pos = 0;
    const size_t len = samples_.size();
    const size_t block = static_cast<size_t>(block_) * channels_;
    while (!stop_.load(std::memory_order_relaxed)) {
        clock.wait_next();
        if (stop_.load(std::memory_order_relaxed)) break;
        for (size_t i = 0; i < block; ++i) {
            buffer_[i] = samples_[pos];
            pos = pos + 1 == len ? 0 : pos + 1;
        }
        sink_(buffer_.data(), block_);
    }
}

void WavFileInput::stop() {
    stop_.store(true);
    wake_manual_clock();
    if (thread_.joinable()) thread_.join();
    clock_.reset();
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
    // A late output catches up by playing what is queued, up to a few blocks at once.
    clock_ = std::make_unique<PacingClock>(static_cast<double>(queue.block_frames()) / rate_, 8, &stop_);
    thread_ = std::thread([this] { run(); });
    return "";
}

void BuiltinOutput::run() {
    const int32_t frames = queue_->block_frames();
    PacingClock& clock = *clock_;
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
    wake_manual_clock();
    if (thread_.joinable()) thread_.join();
    clock_.reset();
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
