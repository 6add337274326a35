// varnomix-preset: shows an FX chain file as text, and builds one from the chain options that
// varnomix-render takes. Both go through a rack without windows that loads and saves chain files
// as the main window does.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/options.h"
#include "chain_builder.h"
#include "engine/effects.h"
#include "engine/program_folder.h"
#include "tool_options.h"

using namespace vx;

namespace {

const char* kUsage =
    "usage: varnomix-preset show FILE.pre [--words]\n"
    "       varnomix-preset build OUT.pre [chain options]\n"
    "show:  the version, then per slot its number, kind, On/Off and every control of the effect as\n"
    "       the file restores it; --words also prints the stored parameter words 0..72\n"
    "build: a chain made as varnomix-render makes it, saved as an FX chain file:\n"
    "  --preset FILE.pre   start from an FX chain file (all 16 slots)\n"
    "  --fx KIND           put KIND into the next free slot, switched on; KIND is a name or index\n"
    "  --set S:NAME=VALUE  set control NAME of slot S as a user would\n"
    "  --off S             switch slot S off\n"
    "  @FILE               the options written in FILE, one a line (\"--fx noise gate\")\n"
    "both:  --home DIR     the program folder whose settings files the effects read (default\n"
    "                      $VARNOMIX_HOME, else the program's folder); never written\n"
    "       -h, --help     print this text\n"
    "       --version      print the version\n"
    "Values may also follow an \"=\" (--NAME=VALUE); \"--\" ends the options.\n";

int fail(const std::string& msg) { return usage_error("varnomix-preset", msg); }

int show(OfflineChain& chain, const std::string& path, bool words) {
    if (auto e = chain.load_preset(path); !e.empty()) return fail(e);
    const ChainFile& rec = chain.record();
    const ChainTable& t = chain.table();
    // The version as stored: the load renumbers the kinds, never the version.
    std::printf("%s\nversion %d%s\n", path.c_str(), rec.version,
                rec.version < kChainFileVersion ? " (older numbering of the kinds, mapped on load)" : "");
    for (int slot = 1; slot <= OfflineChain::kSlots; ++slot) {
        const int i = slot - 1;
        const EffectKind k = t.kind[i];
        std::printf("slot %2d  %s  %s%s\n", slot, kind_name(k), t.enabled[i] ? "On" : "Off",
                    k != 0 && !kind_available(k) ? "  (not built yet)" : "");
        if (const Form* f = chain.form(slot))
            for (const Control* c : f->controls()) std::printf("    %s\n", describe_control(*c).c_str());
        if (words) {
            for (int w = 0; w < kStoredParameterWords; w += 8) {
                std::printf("    words %2d..%2d:", w, std::min(w + 7, kStoredParameterWords - 1));
                for (int j = w; j < w + 8 && j < kStoredParameterWords; ++j) std::printf(" %d", rec.blocks[i][j]);
                std::printf("\n");
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    OfflineChain chain;
    PresetCommand cmd;
    if (auto e = parse_preset_command({argv + 1, argv + argc}, chain, cmd); !e.empty()) return fail(e);
    if (cmd.action == ToolAction::Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd.action == ToolAction::Version) {
        std::printf("varnomix-preset %s\n", version());
        return 0;
    }
    if (!cmd.build) return show(chain, cmd.file, cmd.words);
    if (auto e = chain.save_preset(cmd.file); !e.empty()) return fail(e);
    return 0;
}
