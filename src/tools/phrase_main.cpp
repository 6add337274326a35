// varnomix-phrase: writes the built-in plucked-string phrase to a WAV file, to have something to
// play through a chain on a machine without a guitar.
#include <cstdio>
#include <string>
#include <vector>

#include "audio_file.h"
#include "chain_builder.h"
#include "engine/program_folder.h"
#include "engine/test_signal.h"

using namespace vx;

namespace {

const char* kUsage =
    "usage: varnomix-phrase [--rate HZ] [--channels 1|2] [--seconds N] OUTPUT.wav\n"
    "Writes a plucked-string phrase as 16-bit PCM WAV, to play through a chain without a guitar.\n"
    "  --rate HZ        sample rate, 8000..192000 (default 48000)\n"
    "  --channels 1|2   channels, the phrase in each (default 2)\n"
    "  --seconds N      length, 1..600 (default 4)\n";

}  // namespace

int main(int argc, char** argv) {
    int rate = 48000;
    int channels = 2;
    int seconds = 4;
    std::string outPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int& v, int lo, int hi) { return i + 1 < argc && parse_int(argv[++i], v) && v >= lo && v <= hi; };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("varnomix-phrase %s\n", version());
            return 0;
        } else if (a == "--rate") {
            if (!number(rate, 8000, 192000)) { std::fprintf(stderr, "varnomix-phrase: --rate takes 8000..192000\n"); return 2; }
        } else if (a == "--channels") {
            if (!number(channels, 1, 2)) { std::fprintf(stderr, "varnomix-phrase: --channels takes 1 or 2\n"); return 2; }
        } else if (a == "--seconds") {
            if (!number(seconds, 1, 600)) { std::fprintf(stderr, "varnomix-phrase: --seconds takes 1..600\n"); return 2; }
        } else if (!a.empty() && a[0] != '-' && outPath.empty()) {
            outPath = a;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (outPath.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::vector<float> mono = make_test_phrase(rate, seconds);
    AudioData d;
    d.sample_rate = rate;
    d.channels = channels;
    d.samples.reserve(mono.size() * static_cast<size_t>(channels));
    for (float s : mono)
        for (int c = 0; c < channels; ++c) d.samples.push_back(s);
    if (auto e = write_wav(outPath, d, true); !e.empty()) {
        std::fprintf(stderr, "varnomix-phrase: %s\n", e.c_str());
        return 2;
    }
    return 0;
}
