// varnomix-render: processes an audio file through a chain of effects, block by block through the
// same walk of the rack the live engine's chain runner makes, on two threads where that pays.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_file.h"
#include "app/options.h"
#include "chain_builder.h"
#include "engine/effects.h"
#include "engine/program_folder.h"
#include "record_wavs.h"
#include "render_stream.h"
#include "tool_options.h"

using namespace vx;

namespace {

const char* kUsage =
    "usage: varnomix-render [options] INPUT OUTPUT\n"
    "  --preset FILE.pre   load an FX chain file into the rack (all 16 slots), as the main window does\n"
    "  --fx KIND           put KIND into the next free slot (1..16), switched on; KIND is a registry\n"
    "                      name (\"Gain\") or index (13)\n"
    "  --set S:NAME=VALUE  set control NAME of slot S as a user would: a slider's position, a check\n"
    "                      box 0 or 1, a selector's index\n"
    "  --off S             switch slot S off\n"
    "  --block N           frames per block, 1..512 (default 480)\n"
    "  --channels 1|2      channels the chain processes (default: the file's)\n"
    "  --threads 1|2       threads the rack is split over, with the same output (default 2 when\n"
    "                      the program may use two processors and at least two slots are on)\n"
    "  --pcm16             write 16-bit PCM instead of 32-bit float\n"
    "  --list-kinds        print the index and name of every kind\n"
    "  --controls KIND     print the controls of a new instance of KIND\n"
    "  --quiet             no progress bar\n"
    "  --home DIR          the program folder whose settings files the effects read (default\n"
    "                      $VARNOMIX_HOME, else the program's folder); never written\n"
    "  @FILE               the options written in FILE, one a line (\"--fx noise gate\")\n"
    "  -h, --help          print this text\n"
    "  --version           print the version\n"
    "Chain options (--preset, --fx, --set, --off) act in the order given.\n"
    "Values may also follow an \"=\" (--NAME=VALUE); \"--\" ends the options.\n";

int fail(const std::string& msg) { return usage_error("varnomix-render", msg); }

void list_kinds() {
    const EffectRegistry& reg = get_registry();
    for (int k = 0; k <= reg.count; ++k)
        std::printf("%2d  %s%s\n", k, reg.names[k], k == 0 || kind_available(k) ? "" : "  (not built yet)");
}

int print_controls(const std::string& word) {
    const EffectKind k = parse_kind(word);
    if (k < 0) return fail("unknown effect kind \"" + word + "\" (see --list-kinds)");
    if (k == 0) return fail("\"" + word + "\" is the empty slot, it has no controls");
    if (!kind_available(k)) return fail(std::string("effect kind \"") + kind_name(k) + "\" is not built yet");
    EffectInstance inst = get_registry().create[k]();
    std::printf("%s (%d), editor \"%s\"\n", kind_name(k), k, inst->form->caption().c_str());
    for (const Control* c : inst->form->controls()) std::printf("  %s\n", describe_control(*c).c_str());
    force_destroy_instance(inst);
    return 0;
}

void progress(int64_t done, int64_t total) {
    const int width = 40;
    const int filled = total > 0 ? static_cast<int>(width * done / total) : width;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(width - filled), ' ').c_str(),
                 total > 0 ? static_cast<int>(100 * done / total) : 100);
}

}  // namespace

int main(int argc, char** argv) {
    OfflineChain chain;
    RenderCommand cmd;
    if (auto e = parse_render_command({argv + 1, argv + argc}, chain, cmd); !e.empty()) return fail(e);
    switch (cmd.action) {
        case ToolAction::Help:
            std::fputs(kUsage, stdout);
            return 0;
        case ToolAction::Version:
            std::printf("varnomix-render %s\n", version());
            return 0;
        case ToolAction::ListKinds:
            list_kinds();
            return 0;
        case ToolAction::Controls:
            return print_controls(cmd.controls_kind);
        case ToolAction::Work:
            break;
    }
    const std::vector<std::string>& files = cmd.files;
    const auto& records = cmd.records;
    int channels = cmd.channels;

    AudioReader in;
    if (auto e = in.open(files[0]); !e.empty()) return fail(e);
    if (channels == 0) channels = in.channels();
    if (channels == 1 && in.channels() == 2) return fail("a stereo file cannot be processed as 1 channel");
    const int64_t frames = in.frames();

    for (int slot = 1; slot <= OfflineChain::kSlots; ++slot) {
        const EffectKind k = chain.table().kind[slot - 1];
        if (k != 0 && !kind_available(k))
            std::fprintf(stderr, "varnomix-render: slot %d holds \"%s\", which is not built yet; it passes the signal unchanged\n",
                         slot, kind_name(k));
    }
    std::vector<TRecord_wav_form*> recorders;
    for (const auto& [slot, file] : records) {
        auto* r = dynamic_cast<TRecord_wav_form*>(chain.form(slot));
        if (r == nullptr)
            return fail("--record " + std::to_string(slot) + ":" + file + ": slot " + std::to_string(slot) +
                        " holds no \"Record wav\"");
        r->Button_Save.click();
        recorders.push_back(r);
    }
    chain.load();
    AudioWriter out;
    if (auto e = out.open(files[1], in.sample_rate(), channels, cmd.pcm16); !e.empty()) return fail(e);
    StreamSettings settings;
    settings.block = cmd.block;
    settings.channels = channels;
    settings.threads = cmd.threads != 0 ? cmd.threads : default_render_threads(chain.table());
    settings.output_name = files[1];
    int64_t last_shown = -1;
    if (!cmd.quiet && ::isatty(STDERR_FILENO))
        settings.progress = [&](int64_t at) {
            const int64_t percent = at * 100 / std::max<int64_t>(frames, 1);
            if (percent == last_shown) return;
            last_shown = percent;
            progress(std::min(at, frames), frames);
        };
    const StreamResult result = render_stream(in, out, settings);
    if (settings.progress) {
        if (result.error.empty()) progress(frames, frames);
        std::fputc('\n', stderr);
    }
    if (!result.error.empty()) return fail(result.error);
    if (auto e = out.finish(); !e.empty()) return fail(e);
    if (in.non_finite() > 0)
        std::fprintf(stderr, "varnomix-render: %lld samples of \"%s\" were not numbers (NaN or infinite) and were played as silence\n",
                     static_cast<long long>(in.non_finite()), files[0].c_str());
    for (size_t k = 0; k < recorders.size(); ++k) {
        if (recorders[k]->memory_full)
            std::fprintf(stderr,
                         "varnomix-render: slot %d: the recording memory filled up, the take ends early (a larger "
                         "memory: --set %d:ComboBox_Memory=7)\n",
                         records[k].first, records[k].first);
        if (!recorders[k]->save_take(records[k].second))
            return fail("the take of slot " + std::to_string(records[k].first) + " could not be saved to \"" +
                        records[k].second + "\"");
    }
    return 0;
}
