// The tools' command lines from anywhere, read through the programs' own entry points. An input is
// one byte choosing the program, then its arguments one a line; after a NUL byte comes the text of
// an option file that the arguments may name as "@opts.txt". The chain a command line builds plays
// one short block; nothing is written but in the private program folder.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"
#include "fuzz_common.h"
#include "tool_options.h"

using namespace vx;

namespace {

// The program folder: the private one, holding a factory preset as "a.pre".
void setup_once() {
    static const bool done = [] {
        const fuzz::fs::path& h = fuzz::home();
        std::error_code ec;
        fuzz::fs::copy_file(VX_FUZZ_PRESET, h / "a.pre", fuzz::fs::copy_options::overwrite_existing, ec);
        ::setenv("VARNOMIX_HOME", h.c_str(), 1);
        return true;
    }();
    (void)done;
}

// "a.pre" and "@opts.txt" name the files in the program folder (libFuzzer's own folder stays the
// working folder).
std::string in_home(const std::string& arg) {
    if (arg == "a.pre") return (fuzz::home() / arg).string();
    if (arg == "@opts.txt") return "@" + (fuzz::home() / "opts.txt").string();
    return arg;
}

void play_one_block(const OfflineChain& chain) {
    static float buf[2 * 64];
    for (int i = 0; i < 2 * 64; ++i) buf[i] = static_cast<float>((i * 7919) % 20001 - 10000);
    chain.load();
    ChainRunner(64, 48000, 2, buf);
    for (float s : buf)
        if (!std::isfinite(s)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setup_once();
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t nul = text.find('\0');
    const std::string file_text = nul == std::string::npos ? "" : text.substr(nul + 1);
    fuzz::write_file(fuzz::home() / "opts.txt", reinterpret_cast<const uint8_t*>(file_text.data()), file_text.size());
    std::vector<std::string> args;
    const std::string line_text = text.substr(0, nul);
    for (size_t at = 0; at <= line_text.size();) {
        const size_t end = std::min(line_text.find('\n', at), line_text.size());
        args.push_back(in_home(line_text.substr(at, end - at)));
        at = end + 1;
    }
    switch (data[0] % 3) {
        case 0: {
            OfflineChain chain;
            RenderCommand cmd;
            if (parse_render_command(args, chain, cmd).empty() && cmd.action == ToolAction::Work) play_one_block(chain);
            break;
        }
        case 1: {
            OfflineChain chain;
            PresetCommand cmd;
            if (parse_preset_command(args, chain, cmd).empty() && cmd.build) play_one_block(chain);
            break;
        }
        default: {
            PhraseCommand cmd;
            parse_phrase_command(args, cmd);
            break;
        }
    }
    return 0;
}
