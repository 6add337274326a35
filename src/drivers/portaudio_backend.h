// The system's own sound devices through PortAudio (ALSA, JACK, OSS; PulseAudio and PipeWire
// through their ALSA or JACK faces). Devices are named "<interface>: <device>", for example
// "JACK: system" or "ALSA: default". Everything here runs on the user-interface thread except the
// stream callbacks, which run on PortAudio's thread and neither allocate nor lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "builtin_devices.h"
#include "output_queue.h"

namespace vx::pa {

struct Device {
    std::string name;
    int max_input_channels = 0;
    int max_output_channels = 0;
    double low_input_latency_s = 0.0;
    double low_output_latency_s = 0.0;
};

// Starts PortAudio if needed (quietly: the sound libraries' complaints about absent cards and
// servers are not printed) and reads its device list again, so that a sound server started since
// is seen. While a stream is open the list stays as it is.
void refresh_devices();
// The list as last read (read once on first use).
const std::vector<Device>& devices();
// The system's default output device's name, "" if there is none.
std::string default_output_name();
// Ends PortAudio once no stream is open.
void shutdown();

// What a stream's callback reaches its owner through. A stream that is left alone (its sound
// server vanished, so stopping it could hang) keeps its ticket, retired, so that it can never reach
// an owner that has opened another stream since: a call marks itself inside before it looks at the
// switch, and retire() waits for a call already inside to leave. So a stream that is no longer
// current never runs beside the new one (both would walk the chain and use the output queue).
class StreamTicket {
public:
    explicit StreamTicket(void* owner) : owner_(owner) {}
    StreamTicket(const StreamTicket&) = delete;
    StreamTicket& operator=(const StreamTicket&) = delete;

    // Runs call(owner) unless the ticket is retired; false once it is (the stream should end).
    template <class Call>
    bool call(Call&& c) {
        inside_.store(true, std::memory_order_seq_cst);
        const bool live = live_.load(std::memory_order_seq_cst);
        if (live) c(owner_);
        inside_.store(false, std::memory_order_release);
        return live;
    }
    // After it returns no call reaches the owner. User-interface thread.
    void retire();

private:
    void* owner_;
    std::atomic<bool> live_{true};
    std::atomic<bool> inside_{false};
};

class InputStream {
public:
    InputStream() = default;
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;
    ~InputStream() { stop(); }

    // Opens the named device and starts capturing; every block reaches `sink` in `channels`
    // channels on the 16-bit scale (a mono device feeds both sides). "" or the reason.
    std::string start(const std::string& device, int32_t sample_rate, int32_t channels, int32_t block_frames,
                      BlockSink sink);
    void stop();
    bool running() const { return stream_ != nullptr; }

    // PortAudio's thread: one callback's worth of captured frames.
    void on_input(const float* input, unsigned long frames);

private:
    void* stream_ = nullptr;
    void* ticket_ = nullptr;
    std::atomic<int64_t> last_callback_ns_{0};
    std::vector<float> buffer_;
    int32_t channels_ = 2, device_channels_ = 2, block_ = 256;
    BlockSink sink_ = nullptr;
};

class OutputStream {
public:
    OutputStream() = default;
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    ~OutputStream() { stop(); }

    // Opens the named device and starts playing from the queue (a mono queue plays on both sides
    // of a stereo device). "" or the reason.
    std::string start(const std::string& device, int32_t sample_rate, OutputQueue& queue);
    void stop();
    bool running() const { return stream_ != nullptr; }
    // Frames the device holds besides the queue, from the latency PortAudio reports.
    int64_t held_frames() const { return running() ? held_frames_ : 0; }

    // PortAudio's thread: fills one callback's worth of frames.
    void on_output(int16_t* output, unsigned long frames);

private:
    void* stream_ = nullptr;
    void* ticket_ = nullptr;
    std::atomic<int64_t> last_callback_ns_{0};
    OutputQueue* queue_ = nullptr;
    std::vector<int16_t> buffer_;
    int32_t device_channels_ = 2;
    int64_t held_frames_ = 0;
};

}  // namespace vx::pa
