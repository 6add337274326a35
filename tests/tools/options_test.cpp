// The shared option parser and the tools' command lines read through it: spellings, errors, order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "tool_options.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

constexpr OptionSpec kSpecs[] = {
    {"--help", false, "", 'h'}, {"--fx", true, "needs a KIND"}, {"--block", true, "takes 1..512"}, {"--quiet"},
};

// The items as "name=value" or "value" for an argument that is no option, or "error: ...".
std::string parsed(const std::vector<std::string>& args) {
    const ParsedOptions p = parse_options(args, kSpecs);
    if (!p.ok()) return "error: " + p.error;
    std::string s;
    for (const OptionItem& o : p.items) s += (s.empty() ? "" : " ") + (o.positional() ? o.value : o.name + "=" + o.value);
    return s;
}

TEST(Options, SpellingsErrorsAndOrder) {
    struct Case { std::vector<std::string> args; std::string want; };
    const Case cases[] = {
        {{"--fx", "Gain"}, "--fx=Gain"},
        {{"--fx=noise gate"}, "--fx=noise gate"},
        {{"--fx="}, "--fx="},
        {{"--fx", "-1"}, "--fx=-1"},  // a value may begin with a dash
        {{"--fx", "--quiet"}, "--fx=--quiet"},
        {{"in.wav", "--fx", "Gain", "-", "--quiet", "out.wav", "-h"}, "in.wav --fx=Gain - --quiet= out.wav --help="},
        {{"--quiet", "--", "--fx", "-h", "--"}, "--quiet= --fx -h --"},
        {{"--bogus", "a"}, "error: unknown option \"--bogus\" (see --help)"},
        {{"--bogus=3"}, "error: unknown option \"--bogus\" (see --help)"},
        {{"--blo", "5"}, "error: unknown option \"--blo\" (see --help)"},  // whole names only
        {{"--fxx=Gain"}, "error: unknown option \"--fxx\" (see --help)"},
        {{"-x"}, "error: unknown option \"-x\" (see --help)"},
        {{"--fx", "Gain", "--block"}, "error: --block takes 1..512"},
        {{"--fx"}, "error: --fx needs a KIND"},
        {{"--quiet=yes"}, "error: --quiet takes no value"},
        {{}, ""},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        EXPECT_EQ(parsed(c.args), c.want) << line;
    }
    // Parsing again starts afresh, whatever the last parse left behind.
    EXPECT_EQ(parsed({"-h", "a"}), "--help= a");
    EXPECT_EQ(parsed({"-h", "a"}), "--help= a");
}

TEST(Options, SlotAndFile) {
    EXPECT_EQ(parse_slot_and_file("3:take.wav", 16), (std::pair<int, std::string>{3, "take.wav"}));
    EXPECT_EQ(parse_slot_and_file("16:a:b.wav", 16), (std::pair<int, std::string>{16, "a:b.wav"}));
    for (const char* bad : {"0:a.wav", "17:a.wav", "3:", ":a.wav", "a.wav", "x:a.wav", "-1:a.wav", "+3:a.wav", "003:a.wav"})
        EXPECT_FALSE(parse_slot_and_file(bad, 16)) << bad;
}

class ArgumentFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vx-options-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string file(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    }
    fs::path dir;
};

TEST_F(ArgumentFiles, OneArgumentOrOptionAndValueALine) {
    const std::string f = file("a.txt",
                               "# a chain\r\n--fx noise gate\n\n   --set 1:ScrollBar_Porog_Max=56  \n--pcm16\n"
                               "--fx=Distortion (Soft/Hard)\nmy take.wav\n\t# indented comment\n--off\t2\n");
    std::vector<std::string> args{"--quiet", "@" + f, "in.wav", "--", "@" + f};
    ASSERT_EQ(expand_argument_files(args), "");
    const std::vector<std::string> want{"--quiet", "--fx", "noise gate", "--set", "1:ScrollBar_Porog_Max=56", "--pcm16",
                                        "--fx=Distortion (Soft/Hard)", "my take.wav", "--off", "2", "in.wav", "--",
                                        "@" + f};
    EXPECT_EQ(args, want);
}

TEST_F(ArgumentFiles, RefusesWhatIsNoSmallRegularFile) {
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = file("big.txt", std::string(1024 * 1024 + 1, '#'));
    struct Case { std::string arg, says; };
    const Case cases[] = {
        {"@" + (dir / "missing.txt").string(), "no such file"},
        {"@" + dir.string(), "not a regular file"},
        {"@" + fifo, "not a regular file"},  // would wait for a writer for ever
        {"@/dev/zero", "not a regular file"},
        {"@" + big, "larger than 1 MB"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{c.arg};
        const std::string e = expand_argument_files(args);
        EXPECT_NE(e.find(c.says), std::string::npos) << c.arg << " said: " << e;
    }
}

// The chain options act in the order given, wherever the other options and the files stand.
TEST(ToolCommands, ChainOptionsActInOrder) {
    const std::string pre = std::string(VX_BIN_DIR) + "/PRESETS/F1 - Clean.pre";
    {
        OfflineChain chain;
        RenderCommand cmd;
        ASSERT_EQ(parse_render_command({"in.wav", "--fx=Gain", "--block=64", "--preset", pre, "--fx", "13", "out.wav"},
                                       chain, cmd),
                  "");
        EXPECT_NE(chain.table().kind[0], 13) << "the preset replaced the whole rack";
        EXPECT_EQ(cmd.files, (std::vector<std::string>{"in.wav", "out.wav"}));
        EXPECT_EQ(cmd.block, 64);
    }
    {
        OfflineChain chain;
        RenderCommand cmd;
        ASSERT_EQ(parse_render_command({"--preset", pre, "--off", "1", "--fx", "Gain", "--set", "1:ScrollBar_EQ8_250=0",
                                        "--", "-in.wav", "out.wav"},
                                       chain, cmd),
                  "");
        EXPECT_EQ(chain.table().enabled[0], 0);
        int gain_slot = 0;
        for (int i = 0; i < 16; ++i)
            if (chain.table().kind[i] == 13) gain_slot = i + 1;
        EXPECT_GT(gain_slot, 1);
        EXPECT_EQ(cmd.files, (std::vector<std::string>{"-in.wav", "out.wav"}));
    }
    // --help ends the reading where it stands: what comes before it still counts.
    struct Case { std::vector<std::string> args; std::string error; ToolAction action; };
    const Case cases[] = {
        {{"--help", "--fx", "Wobble"}, "", ToolAction::Help},
        {{"--fx", "Wobble", "--help"}, "unknown effect kind \"Wobble\" (see --list-kinds)", ToolAction::Work},
        {{"--version", "--bogus"}, "unknown option \"--bogus\" (see --help)", ToolAction::Work},
        {{"--controls=Gain", "x"}, "", ToolAction::Controls},
        {{"--home="}, "--home needs a DIR", ToolAction::Work},
        {{"--record", "0:a.wav", "a", "b"}, "--record takes S:FILE.wav, S a slot 1..16", ToolAction::Work},
        {{"--channels=3", "a", "b"}, "--channels takes 1 or 2", ToolAction::Work},
        {{"--threads", "0", "a", "b"}, "--threads takes 1 or 2", ToolAction::Work},
        {{"a", "b", "c"}, "expected INPUT and OUTPUT", ToolAction::Work},
    };
    for (const Case& c : cases) {
        OfflineChain chain;
        RenderCommand cmd;
        EXPECT_EQ(parse_render_command(c.args, chain, cmd), c.error) << c.args[0];
        EXPECT_EQ(cmd.action, c.action) << c.args[0];
    }
}

TEST(ToolCommands, PresetAndPhraseCommandLines) {
    struct Case { std::vector<std::string> args; std::string error; };
    const Case preset_cases[] = {
        {{"show", "a.pre", "--words"}, ""},
        {{"--words", "show", "a.pre"}, ""},
        {{"build", "out.pre", "--fx=Gain", "--set", "1:ScrollBar_Gain_Left=3"}, ""},
        {{"show", "a.pre", "--fx", "Gain"}, "show takes FILE.pre and, if wanted, --words"},
        {{"show", "a.pre", "b.pre"}, "show takes FILE.pre and, if wanted, --words"},
        {{"show", "a.pre", "--bytes"}, "unknown option \"--bytes\" (see --help); show takes FILE.pre and, if wanted, --words"},
        {{"build", "out.pre", "--words"}, "--words goes with show"},
        {{"build", "out.pre", "extra"}, "build takes OUT.pre and chain options, not \"extra\""},
        {{"build"}, "expected show or build: show FILE.pre, build OUT.pre"},
        {{"list", "a.pre"}, "expected show or build: show FILE.pre, build OUT.pre"},
    };
    for (const Case& c : preset_cases) {
        OfflineChain chain;
        PresetCommand cmd;
        EXPECT_EQ(parse_preset_command(c.args, chain, cmd), c.error) << c.args[0] << " " << c.args.back();
    }
    const Case phrase_cases[] = {
        {{"--rate=44100", "--channels", "1", "--seconds=2", "p.wav"}, ""},
        {{"--rate", "7999", "p.wav"}, "--rate takes 8000..192000"},
        {{"--rate"}, "--rate takes 8000..192000"},
        {{"--seconds=601", "p.wav"}, "--seconds takes 1..600"},
        {{"a.wav", "b.wav"}, "expected one OUTPUT.wav, not also \"b.wav\""},
        {{}, "expected OUTPUT.wav"},
    };
    for (const Case& c : phrase_cases) {
        PhraseCommand cmd;
        EXPECT_EQ(parse_phrase_command(c.args, cmd), c.error) << (c.args.empty() ? "" : c.args[0]);
    }
    PhraseCommand cmd;
    ASSERT_EQ(parse_phrase_command({"--rate=44100", "--channels", "1", "--seconds=2", "p.wav"}, cmd), "");
    EXPECT_EQ(std::tuple(cmd.rate, cmd.channels, cmd.seconds, cmd.output), std::tuple(44100, 1, 2, std::string("p.wav")));
}

}  // namespace
}  // namespace vx
