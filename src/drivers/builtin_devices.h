// The built-in devices, listed after the system's own so that a machine without a sound card
// starts, processes and meters like one with: the input "Test signal" (a looped plucked-string
// phrase near -12 dBFS) and the outputs "Null output" (discards) and "WAV file output" (writes
// what it plays to a 16-bit WAV file). Each runs on a thread of its own, paced by the steady clock
// one block at a time like a sound card; tests may run that clock faster.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output_queue.h"

namespace vx {

inline constexpr const char* kTestSignalName = "Test signal";
inline constexpr const char* kWavInputName = "WAV file input";
inline constexpr const char* kNullOutputName = "Null output";
inline constexpr const char* kWavOutputName = "WAV file output";

// How fast the built-in devices' clock runs: 1 is real time, 8 makes a block period last an eighth
// of its duration. Read when a device starts. Values that are not finite and positive are refused.
void set_builtin_clock_speed(double factor);
double builtin_clock_speed();

// A clock that tests step by hand instead of the steady clock, so that what the built-in devices
// do does not depend on the machine's load: while it is on, a device's period passes only inside
// step_builtin_clock, which runs every period that falls due, one device at a time, earliest first
// (devices due at the same time in the order they started), and returns once each has finished its
// block. Switch it only while no built-in device runs.
void set_builtin_clock_manual(bool on);
bool builtin_clock_manual();
void step_builtin_clock(std::chrono::nanoseconds d);

// One period after another on the steady clock (or the hand-stepped one). A thread that has fallen
// more than `max_late` periods behind starts afresh from now instead of catching up in a burst.
// `stop`, if given, ends a wait on the hand-stepped clock.
class PacingClock {
public:
    PacingClock(double period_seconds, int max_late, const std::atomic<bool>* stop = nullptr);
    ~PacingClock();
    PacingClock(const PacingClock&) = delete;
    PacingClock& operator=(const PacingClock&) = delete;
    void wait_next();
    int32_t resyncs() const { return resyncs_; }

private:
    friend void step_builtin_clock(std::chrono::nanoseconds d);
    std::chrono::steady_clock::duration period_;
    std::chrono::steady_clock::time_point next_;
    int max_late_;
    int32_t resyncs_ = 0;
    // Hand-stepped: the period in nanoseconds, the deadline waited for, the deadline granted, and
    // whether the device is waiting (between blocks).
    bool manual_ = false;
    const std::atomic<bool>* stop_ = nullptr;
    int64_t manual_period_ = 1, manual_next_ = 0, granted_ = -1;
    bool waiting_ = false;
};

// Receives each captured block: interleaved, on the 16-bit scale, processed in place.
using BlockSink = void (*)(float* buffer, int32_t frames);

class TestSignalInput {
public:
    TestSignalInput() = default;
    TestSignalInput(const TestSignalInput&) = delete;
    TestSignalInput& operator=(const TestSignalInput&) = delete;
    ~TestSignalInput() { stop(); }

    // Makes the phrase and starts the thread; "" or the reason it cannot run.
    std::string start(int32_t sample_rate, int32_t channels, int32_t block_frames, BlockSink sink);
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void run();
    std::unique_ptr<PacingClock> clock_;
    std::vector<float> phrase_;
    std::vector<float> buffer_;
    int32_t rate_ = 48000, channels_ = 2, block_ = 256;
    BlockSink sink_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Plays a WAV file (any format libsndfile reads) in a loop as if it came from a sound card: read
// whole at the start, brought to the engine's rate and channels, on the 16-bit scale.
class WavFileInput {
public:
    WavFileInput() = default;
    WavFileInput(const WavFileInput&) = delete;
    WavFileInput& operator=(const WavFileInput&) = delete;
    ~WavFileInput() { stop(); }

    // Reads the file and starts the thread; "" or the reason it cannot run.
    std::string start(const std::string& path, int32_t sample_rate, int32_t channels, int32_t block_frames,
                      BlockSink sink);
    void stop();
    bool running() const { return thread_.joinable(); }

    // The file's frames at `sample_rate`, `channels` interleaved, on the 16-bit scale; "" or why not.
    static std::string load(const std::string& path, int32_t sample_rate, int32_t channels, std::vector<float>& out);

private:
    void run();
    std::unique_ptr<PacingClock> clock_;
    std::vector<float> samples_;  // interleaved
    std::vector<float> buffer_;
    int32_t channels_ = 2, block_ = 256;
    BlockSink sink_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class BuiltinOutput {
public:
    enum class Kind { Null, WavFile };
    BuiltinOutput() = default;
    BuiltinOutput(const BuiltinOutput&) = delete;
    BuiltinOutput& operator=(const BuiltinOutput&) = delete;
    ~BuiltinOutput() { stop(); }

    // Opens the device (for a WAV file: creates its folder and the file) and starts playing from
    // the queue; "" or the reason it cannot.
    std::string start(Kind kind, const std::string& wav_path, int32_t sample_rate, OutputQueue& queue);
    // Stops the thread and, for a WAV file, completes the file.
    void stop();
    bool running() const { return thread_.joinable(); }
    // Frames the device holds besides the queue: the block it is playing.
    int64_t held_frames() const;
    // Why the WAV file lost audio since start (a short write, a file not completed), "" if it
    // did not. Once it has failed the file gets nothing more.
    std::string write_error() const { return write_failed_.load(std::memory_order_acquire) ? write_error_ : ""; }

private:
    void run();
    std::unique_ptr<PacingClock> clock_;
    Kind kind_ = Kind::Null;
    OutputQueue* queue_ = nullptr;
    void* file_ = nullptr;  // SNDFILE*
    std::string path_;
    std::string write_error_;  // written before write_failed_ is set, never after
    std::atomic<bool> write_failed_{false};
    void fail_writing(const std::string& why);
    std::vector<int16_t> buffer_;
    int32_t rate_ = 48000;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vx
