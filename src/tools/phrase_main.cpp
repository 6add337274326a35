// varnomix-phrase: writes the built-in plucked-string phrase to a WAV file, to have something to
// play through a chain on a machine without a guitar.
#include <cstdio>
#include <string>
#include <vector>

#include "audio_file.h"
#include "app/options.h"
#include "engine/program_folder.h"
#include "engine/test_signal.h"
#include "tool_options.h"

using namespace vx;

namespace {

const char* kUsage =
    "usage: varnomix-phrase [--rate HZ] [--channels 1|2] [--seconds N] OUTPUT.wav\n"
    "Writes a plucked-string phrase as 16-bit PCM WAV, to play through a chain without a guitar.\n"
    "  --rate HZ        sample rate, 8000..192000 (default 48000)\n"
    "  --channels 1|2   channels, the phrase in each (default 2)\n"
    "  --seconds N      length, 1..600 (default 4)\n"
    "  -h, --help       print this text\n"
    "  --version        print the version\n"
    "Values may also follow an \"=\" (--NAME=VALUE); \"--\" ends the options.\n";

}  // namespace

int main(int argc, char** argv) {
    PhraseCommand cmd;
    if (auto e = parse_phrase_command({argv + 1, argv + argc}, cmd); !e.empty())
        return usage_error("varnomix-phrase", e);
    if (cmd.action == ToolAction::Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd.action == ToolAction::Version) {
        std::printf("varnomix-phrase %s\n", version());
        return 0;
    }
    const int rate = cmd.rate;
    const int channels = cmd.channels;
    const std::string& outPath = cmd.output;
    const std::vector<float> mono = make_test_phrase(rate, cmd.seconds);
    AudioData d;
    d.sample_rate = rate;
    d.channels = channels;
    d.samples.reserve(mono.size() * static_cast<size_t>(channels));
    for (float s : mono)
        for (int c = 0; c < channels; ++c) d.samples.push_back(s);
    if (auto e = write_wav(outPath, d, true); !e.empty()) return usage_error("varnomix-phrase", e);
    return 0;
}
