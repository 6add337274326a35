#include "tool_options.h"

#include <array>

#include "app/options.h"

namespace vx {

namespace {

constexpr OptionSpec kHelp{"--help", false, "", 'h'};
constexpr OptionSpec kVersion{"--version"};
constexpr OptionSpec kHome{"--home", true, "needs a DIR"};

// The options that build a chain, shared by varnomix-render and varnomix-preset build.
constexpr OptionSpec kPreset{"--preset", true, "needs a FILE.pre"};
constexpr OptionSpec kFx{"--fx", true, "needs a KIND"};
constexpr OptionSpec kSet{"--set", true, "needs S:NAME=VALUE"};
constexpr OptionSpec kOff{"--off", true, "needs a slot number"};

bool is_chain_option(const OptionItem& o) { return o.is("--preset") || o.is("--fx") || o.is("--set") || o.is("--off"); }

std::string apply_chain_option(OfflineChain& chain, const OptionItem& o) {
    if (o.is("--fx")) return chain.add_effect(o.value);
    if (o.is("--set")) return chain.set_control(o.value);
    if (o.is("--off")) return chain.switch_off(o.value);
    return chain.load_preset(o.value);
}

// @FILE expanded, the table applied and --home used: "" or the usage error.
std::string read_command_line(std::vector<std::string>& args, std::span<const OptionSpec> specs, ParsedOptions& parsed) {
    if (auto e = expand_argument_files(args); !e.empty()) return e;
    parsed = parse_options(args, specs);
    if (!parsed.ok()) return parsed.error;
    std::string home;
    for (const OptionItem& o : parsed.items)
        if (o.is("--home")) {
            if (o.value.empty()) return "--home needs a DIR";
            home = o.value;
        }
    return use_program_home(home);
}

bool number_in(const std::string& s, int& v, int lo, int hi) { return parse_int(s, v) && v >= lo && v <= hi; }

}  // namespace

std::string parse_render_command(std::vector<std::string> args, OfflineChain& chain, RenderCommand& cmd) {
    static constexpr std::array kSpecs{
        kHelp, kVersion, kHome, kPreset, kFx, kSet, kOff,
        OptionSpec{"--record", true, "takes S:FILE.wav, S a slot 1..16"},
        OptionSpec{"--block", true, "takes a number of frames from 1 to 512"},
        OptionSpec{"--channels", true, "takes 1 or 2"},
        OptionSpec{"--threads", true, "takes 1 or 2"},
        OptionSpec{"--pcm16"}, OptionSpec{"--quiet"}, OptionSpec{"--list-kinds"},
        OptionSpec{"--controls", true, "needs a KIND"},
    };
    ParsedOptions parsed;
    if (auto e = read_command_line(args, kSpecs, parsed); !e.empty()) return e;
    for (const OptionItem& o : parsed.items) {
        if (o.is("--help")) cmd.action = ToolAction::Help;
        if (o.is("--version")) cmd.action = ToolAction::Version;
        if (o.is("--list-kinds")) cmd.action = ToolAction::ListKinds;
        if (o.is("--controls")) {
            cmd.action = ToolAction::Controls;
            cmd.controls_kind = o.value;
        }
        if (cmd.action != ToolAction::Work) return "";
        if (is_chain_option(o)) {
            if (auto e = apply_chain_option(chain, o); !e.empty()) return e;
        } else if (o.is("--record")) {
            auto record = parse_slot_and_file(o.value, OfflineChain::kSlots);
            if (!record) return "--record takes S:FILE.wav, S a slot 1..16";
            cmd.records.push_back(*record);
        } else if (o.is("--block")) {
            if (!number_in(o.value, cmd.block, 1, 512)) return "--block takes a number of frames from 1 to 512";
        } else if (o.is("--channels")) {
            if (!number_in(o.value, cmd.channels, 1, 2)) return "--channels takes 1 or 2";
        } else if (o.is("--threads")) {
            if (!number_in(o.value, cmd.threads, 1, 2)) return "--threads takes 1 or 2";
        } else if (o.is("--pcm16")) {
            cmd.pcm16 = true;
        } else if (o.is("--quiet")) {
            cmd.quiet = true;
        } else if (o.positional()) {
            cmd.files.push_back(o.value);
        }
    }
    if (cmd.files.size() != 2) return "expected INPUT and OUTPUT";
    return "";
}

std::string parse_preset_command(std::vector<std::string> args, OfflineChain& chain, PresetCommand& cmd) {
    static constexpr std::array kSpecs{kHelp, kVersion, kHome, kPreset, kFx, kSet, kOff, OptionSpec{"--words"}};
    static const std::string kShowTakes = "show takes FILE.pre and, if wanted, --words";
    ParsedOptions parsed;
    const std::string e = read_command_line(args, kSpecs, parsed);
    // The sub-command is the first word that is no option.
    std::vector<std::string> words;
    for (const OptionItem& o : parsed.items)
        if (o.positional()) words.push_back(o.value);
    const bool show = !words.empty() && words[0] == "show";
    if (!e.empty()) return show && e.starts_with("unknown option") ? e + "; " + kShowTakes : e;
    for (const OptionItem& o : parsed.items) {
        if (o.is("--help")) cmd.action = ToolAction::Help;
        if (o.is("--version")) cmd.action = ToolAction::Version;
        if (cmd.action != ToolAction::Work) return "";
    }
    if (words.size() < 2 || (words[0] != "show" && words[0] != "build")) return "expected show or build: show FILE.pre, build OUT.pre";
    cmd.build = words[0] == "build";
    cmd.file = words[1];
    if (!cmd.build) {
        for (const OptionItem& o : parsed.items)
            if (is_chain_option(o)) return kShowTakes;
        if (words.size() > 2) return kShowTakes;
        for (const OptionItem& o : parsed.items) cmd.words = cmd.words || o.is("--words");
        return "";
    }
    if (words.size() > 2) return "build takes OUT.pre and chain options, not \"" + words[2] + "\"";
    for (const OptionItem& o : parsed.items) {
        if (o.is("--words")) return "--words goes with show";
        if (is_chain_option(o))
            if (auto ce = apply_chain_option(chain, o); !ce.empty()) return ce;
    }
    return "";
}

std::string parse_phrase_command(std::vector<std::string> args, PhraseCommand& cmd) {
    static constexpr std::array kSpecs{
        kHelp, kVersion,
        OptionSpec{"--rate", true, "takes 8000..192000"},
        OptionSpec{"--channels", true, "takes 1 or 2"},
        OptionSpec{"--seconds", true, "takes 1..600"},
    };
    const ParsedOptions parsed = parse_options(args, kSpecs);
    if (!parsed.ok()) return parsed.error;
    for (const OptionItem& o : parsed.items) {
        if (o.is("--help")) cmd.action = ToolAction::Help;
        if (o.is("--version")) cmd.action = ToolAction::Version;
        if (cmd.action != ToolAction::Work) return "";
        if (o.is("--rate") && !number_in(o.value, cmd.rate, 8000, 192000)) return "--rate takes 8000..192000";
        if (o.is("--channels") && !number_in(o.value, cmd.channels, 1, 2)) return "--channels takes 1 or 2";
        if (o.is("--seconds") && !number_in(o.value, cmd.seconds, 1, 600)) return "--seconds takes 1..600";
        if (o.positional()) {
            if (!cmd.output.empty()) return "expected one OUTPUT.wav, not also \"" + o.value + "\"";
            cmd.output = o.value;
        }
    }
    if (cmd.output.empty()) return "expected OUTPUT.wav";
    return "";
}

}  // namespace vx
