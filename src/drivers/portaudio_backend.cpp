#include "portaudio_backend.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pa_jack.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace vx::pa {

namespace {

bool started = false;
int open_streams = 0;
std::vector<Device> device_list;
std::vector<PaDeviceIndex> device_index;  // PortAudio's index of each listed device
std::string default_output;

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet_jack(const char*) {}

std::string interface_name(const PaHostApiInfo* api) {
    if (api == nullptr) return "Audio";
    switch (api->type) {
        case paALSA: return "ALSA";
        case paJACK: return "JACK";
        case paOSS: return "OSS";
        default: return api->name ? api->name : "Audio";
    }
}

void read_list() {
    device_list.clear();
    device_index.clear();
    default_output.clear();
    if (!started) return;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr) continue;
        Device d;
        d.name = interface_name(Pa_GetHostApiInfo(info->hostApi)) + ": " + (info->name ? info->name : "?");
        d.max_input_channels = info->maxInputChannels;
        d.max_output_channels = info->maxOutputChannels;
        d.low_input_latency_s = info->defaultLowInputLatency;
        d.low_output_latency_s = info->defaultLowOutputLatency;
        if (i == Pa_GetDefaultOutputDevice()) default_output = d.name;
        device_list.push_back(std::move(d));
        device_index.push_back(i);
    }
}

void start_portaudio() {
    if (started) return;
    // Without a card ALSA prints a page of complaints, and JACK one when no server runs.
    snd_lib_error_set_handler(quiet_alsa);
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
    // Patchbays show the program by this name rather than as "PortAudio"; it must precede the start.
    PaJack_SetClientName("Varnomix");
    started = Pa_Initialize() == paNoError;
    read_list();
}

// The listed device of this name, with PortAudio's index of it; null if it is gone.
const Device* find(const std::string& name, PaDeviceIndex& index) {
    start_portaudio();
    for (size_t i = 0; i < device_list.size(); ++i) {
        if (device_list[i].name == name) {
            index = device_index[i];
            return &device_list[i];
        }
    }
    return nullptr;
}

using Ticket = StreamTicket;

int input_callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* user) {
    const bool live = static_cast<Ticket*>(user)->call([&](void* owner) {
        static_cast<InputStream*>(owner)->on_input(static_cast<const float*>(input), frames);
    });
    return live ? paContinue : paAbort;
}

int output_callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags, void* user) {
    const bool live = static_cast<Ticket*>(user)->call([&](void* owner) {
        static_cast<OutputStream*>(owner)->on_output(static_cast<int16_t*>(output), frames);
    });
    return live ? paContinue : paAbort;
}

std::string open_error(PaError e) {
    if (e == paInvalidSampleRate) return "the device does not run at this sample rate";
    return Pa_GetErrorText(e);
}

// Opens one direction of a device and starts it; "" or the reason. `latency_s` gets the latency
// PortAudio reports for it.
std::string open_and_start(void*& stream, void*& ticket, const PaStreamParameters& params, bool input,
                           int32_t sample_rate, int32_t frames, PaStreamCallback* callback, void* self,
                           double& latency_s) {
    auto* t = new Ticket(self);
    PaStream* s = nullptr;
    PaError e = Pa_OpenStream(&s, input ? &params : nullptr, input ? nullptr : &params, sample_rate,
                              static_cast<unsigned long>(frames), paClipOff, callback, t);
    if (e == paNoError) {
        const PaStreamInfo* info = Pa_GetStreamInfo(s);
        latency_s = info == nullptr ? 0.0 : input ? info->inputLatency : info->outputLatency;
        e = Pa_StartStream(s);
        if (e != paNoError) Pa_CloseStream(s);
    }
    if (e != paNoError) {
        delete t;
        return open_error(e);
    }
    stream = s;
    ticket = t;
    ++open_streams;
    return "";
}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void stop_and_close(void*& stream, void*& ticket, const std::atomic<int64_t>& last_callback_ns) {
    if (stream == nullptr) return;
    auto* t = static_cast<Ticket*>(ticket);
    ticket = nullptr;
    // A stream that has not called back for a second has lost its device or its sound server (a
    // JACK server that quit, say). Stopping or closing it then waits for long and may abort inside
    // PortAudio, so it is left as it is; it stays counted as open, which keeps PortAudio from
    // being ended (that would close it too).
    if (now_ns() - last_callback_ns.load(std::memory_order_relaxed) > 1'000'000'000) {
        t->retire();
        stream = nullptr;
        return;
    }
    Pa_StopStream(static_cast<PaStream*>(stream));
    Pa_CloseStream(static_cast<PaStream*>(stream));
    delete t;
    stream = nullptr;
    --open_streams;
}

}  // namespace

void StreamTicket::retire() {
    live_.store(false, std::memory_order_seq_cst);
    // A callback that got in before the switch finishes its block (it never blocks); after that
    // none reaches the owner again.
    while (inside_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

void refresh_devices() {
    if (open_streams > 0) return;
    if (started) {
        Pa_Terminate();
        started = false;
    }
    start_portaudio();
}

const std::vector<Device>& devices() {
    start_portaudio();
    return device_list;
}

std::string default_output_name() {
    start_portaudio();
    return default_output;
}

void shutdown() {
    if (open_streams > 0 || !started) return;
    Pa_Terminate();
    started = false;
    read_list();
}

// --- capture ------------------------------------------------------------------------------------

std::string InputStream::start(const std::string& device, int32_t sample_rate, int32_t channels,
                               int32_t block_frames, BlockSink sink) {
    stop();
    PaDeviceIndex idx = paNoDevice;
    const Device* d = find(device, idx);
    if (d == nullptr) return "the device \"" + device + "\" is not there any more";
    if (d->max_input_channels < 1) return "\"" + device + "\" has no input";
    if (block_frames <= 0 || sample_rate <= 0) return "the block size and the sample rate must be positive";
    channels_ = std::clamp(channels, 1, 2);
    device_channels_ = std::min(channels_, d->max_input_channels);
    block_ = block_frames;
    sink_ = sink;
    buffer_.assign(static_cast<size_t>(block_) * channels_, 0.0f);
    PaStreamParameters in{};
    in.device = idx;
    in.channelCount = device_channels_;
    in.sampleFormat = paFloat32;
    in.suggestedLatency = d->low_input_latency_s;
    double latency_s = 0.0;
    last_callback_ns_.store(now_ns());
    return open_and_start(stream_, ticket_, in, true, sample_rate, block_, &input_callback, this, latency_s);
}

void InputStream::on_input(const float* in, unsigned long frames) {
    last_callback_ns_.store(now_ns(), std::memory_order_relaxed);
    for (unsigned long at = 0; at < frames;) {
        const int32_t n = static_cast<int32_t>(std::min<unsigned long>(frames - at, static_cast<unsigned long>(block_)));
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t c = 0; c < channels_; ++c) {
                const int32_t from = std::min(c, device_channels_ - 1);
                const float v = in ? in[(at + i) * device_channels_ + from] : 0.0f;
                buffer_[static_cast<size_t>(i) * channels_ + c] = v * 32768.0f;
            }
        }
        sink_(buffer_.data(), n);
        at += static_cast<unsigned long>(n);
    }
}

void InputStream::stop() { stop_and_close(stream_, ticket_, last_callback_ns_); }

// --- playback -----------------------------------------------------------------------------------

std::string OutputStream::start(const std::string& device, int32_t sample_rate, OutputQueue& queue) {
    stop();
    PaDeviceIndex idx = paNoDevice;
    const Device* d = find(device, idx);
    if (d == nullptr) return "the device \"" + device + "\" is not there any more";
    if (d->max_output_channels < 1) return "\"" + device + "\" has no output";
    if (sample_rate <= 0) return "the sample rate must be positive";
    queue_ = &queue;
    device_channels_ = std::min(2, d->max_output_channels);
    buffer_.assign(static_cast<size_t>(queue.block_frames()) * queue.channels(), 0);
    PaStreamParameters out{};
    out.device = idx;
    out.channelCount = device_channels_;
    out.sampleFormat = paInt16;
    out.suggestedLatency = d->low_output_latency_s;
    double latency_s = 0.0;
    last_callback_ns_.store(now_ns());
    const std::string error =
        open_and_start(stream_, ticket_, out, false, sample_rate, queue.block_frames(), &output_callback, this, latency_s);
    held_frames_ = static_cast<int64_t>(std::nearbyint(latency_s * sample_rate));
    return error;
}

void OutputStream::on_output(int16_t* out, unsigned long frames) {
    last_callback_ns_.store(now_ns(), std::memory_order_relaxed);
    const int32_t qch = queue_->channels();
    const int32_t dch = device_channels_;
    const auto block = static_cast<unsigned long>(queue_->block_frames());
    for (unsigned long at = 0; at < frames;) {
        const int32_t n = static_cast<int32_t>(std::min(frames - at, block));
        int16_t* dst = out + at * dch;
        if (qch == dch) {
            queue_->pull(dst, n);
        } else {
            queue_->pull(buffer_.data(), n);
            for (int32_t i = 0; i < n; ++i) {
                if (qch == 1) {
                    for (int32_t c = 0; c < dch; ++c) dst[i * dch + c] = buffer_[static_cast<size_t>(i)];
                } else {
                    const size_t k = 2 * static_cast<size_t>(i);
                    dst[i] = to_int16(0.5f * (static_cast<float>(buffer_[k]) + buffer_[k + 1]));
                }
            }
        }
        at += static_cast<unsigned long>(n);
    }
}

void OutputStream::stop() { stop_and_close(stream_, ticket_, last_callback_ns_); }

}  // namespace vx::pa
