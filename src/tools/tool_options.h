// The command lines of varnomix-render, varnomix-preset and varnomix-phrase: each program's table of
// options and what it makes of them, apart from the work itself, so that the programs, the tests
// and the fuzz target read a command line the same way.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "chain_builder.h"

namespace vx {

// What a command line asks for besides its work: the help text, the version, or (render) a listing.
enum class ToolAction { Work, Help, Version, ListKinds, Controls };

struct RenderCommand {
    ToolAction action = ToolAction::Work;
    std::string controls_kind;                          // --controls KIND
    std::vector<std::string> files;                     // INPUT OUTPUT
    int block = 480;
    int channels = 0;                                   // 0: the file's
    bool pcm16 = false;
    bool quiet = false;
    int threads = 0;                                    // 0: as the machine and the chain suggest
    std::vector<std::pair<int, std::string>> records;   // slot, file
};

struct PresetCommand {
    ToolAction action = ToolAction::Work;
    bool build = false;  // else show
    std::string file;    // the chain file shown, or built
    bool words = false;
};

struct PhraseCommand {
    ToolAction action = ToolAction::Work;
    int rate = 48000;
    int channels = 2;
    int seconds = 4;
    std::string output;
};

// Each reads the arguments (without the program name; @FILE expanded here) and returns "" or the
// usage error. --home is applied first, wherever it stands (the program folder the effects read
// their settings from, read only); then the options act in the order given, the chain options on
// `chain`, and a --help, --version or listing ends the reading where it stands.
std::string parse_render_command(std::vector<std::string> args, OfflineChain& chain, RenderCommand& cmd);
std::string parse_preset_command(std::vector<std::string> args, OfflineChain& chain, PresetCommand& cmd);
std::string parse_phrase_command(std::vector<std::string> args, PhraseCommand& cmd);

}  // namespace vx
