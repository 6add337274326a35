// varnomix --nogui as a user runs it: the program, its output and its exit status; and its command
// channel, line by line on a main window and through the reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "app/control_commands.h"
#include "program_fixture.h"
#include "sound_file.h"

namespace fs = std::filesystem;

namespace {

class NoGui : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() / ("vx-nogui-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(home);
    }
    void TearDown() override { fs::remove_all(home); }

    // Runs varnomix with these arguments; stdout and stderr together in `out`.
    int run(const std::string& args, const std::string& env = "") {
        const std::string cmd = env + " " + std::string(VX_BIN_DIR) + "/varnomix " + args + " 2>&1";
        out.clear();
        FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return -1;
        char b[512];
        while (size_t n = std::fread(b, 1, sizeof b, p)) out.append(b, n);
        const int st = ::pclose(p);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::string nogui(const std::string& args) { return "--nogui --home '" + home.string() + "' " + args; }

    fs::path home;
    std::string out;
};

TEST_F(NoGui, ListsTheDevicesWithTheirIndices) {
    EXPECT_EQ(run(nogui("--list-devices")), 0);
    EXPECT_TRUE(std::regex_search(out, std::regex("Input devices:\n(.*\n)*  +[0-9]+  Test signal\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("Output devices:\n(.*\n)*  +[0-9]+  Null output\n  +[0-9]+  WAV file "
                                                  "output\n  +[0-9]+  output: use this if other do not work\n")))
        << out;
    EXPECT_NE(out.find((home / "temp" / "live-output.wav").string()), std::string::npos) << out;
    // The list alone, without --nogui, works too.
    EXPECT_EQ(run("--list-devices --home '" + home.string() + "'"), 0);
    EXPECT_NE(out.find("Test signal"), std::string::npos);
}

TEST_F(NoGui, RunsTheTestSignalAndPrintsAMeterLineEachSecond) {
    EXPECT_EQ(run(nogui("--input 'test SIGNAL' --output 'WAV file output' --rate 44100 --mono --seconds 2")), 0) << out;
    const std::string wav = (home / "temp" / "live-output.wav").string();
    EXPECT_NE(out.find("input:  Test signal\noutput: WAV file output (" + wav +
                       ")\nrate:   44100 Hz, mono, 235 frames a block"),
              std::string::npos)
        << out;
    const std::regex line(" +([12]) s  CPU +[0-9]+ %  in +[0-9]+  out +[0-9]+  latency +([0-9.]+) ms  dropped ([0-9]+)  "
                          "underruns [0-9]+  longest block [0-9.]+ ms \\(slot [0-9]+ [0-9.]+ ms\\)  "
                          "longest gap [0-9.]+ ms\n");
    int lines = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        ++lines;
        EXPECT_EQ((*it)[1].str(), std::to_string(lines));
        EXPECT_LT(std::stod((*it)[2].str()), 35.0);
        EXPECT_EQ((*it)[3].str(), "0");
    }
    EXPECT_EQ(lines, 2) << out;
    EXPECT_NE(out.find("stopped: "), std::string::npos);
    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << "no WAV file output";
    sf_close(f);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 1);
    EXPECT_GT(info.frames, 44100);
}

TEST_F(NoGui, DevicesByIndexAndAStopBySignal) {
    // SIGTERM ends a run without --seconds cleanly.
    const fs::path log = home / "run.txt";
    const std::string cmd = std::string(VX_BIN_DIR) + "/varnomix " + nogui("--input 0 --output 0") + " >'" +
                            log.string() + "' 2>&1 & pid=$!; sleep 1.3; kill -TERM $pid; wait $pid";
    const int st = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    std::string text;
    if (FILE* f = std::fopen(log.c_str(), "r")) {
        char b[512];
        while (size_t n = std::fread(b, 1, sizeof b, f)) text.append(b, n);
        std::fclose(f);
    }
    EXPECT_NE(text.find("    1 s  CPU"), std::string::npos) << text;
    EXPECT_NE(text.find("stopped: "), std::string::npos) << text;
}

TEST_F(NoGui, UsageErrorsExitWithStatusTwo) {
    const struct {
        const char* args;
        const char* says;
    } cases[] = {
        {"--input 'No such device'", "unknown input device \"No such device\"; the input devices are:"},
        {"--output 99", "unknown output device \"99\""},
        {"--rate 32000", "the sample rate \"32000\" is not one of 22050, 32075, 44100, 48000 Hz"},
        {"--rate fast", "is not one of"},
        {"--seconds -1", "--seconds needs a positive number"},
        {"--seconds", "--seconds needs a value"},
        {"--loud", "unknown option \"--loud\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(nogui(c.args)), 2) << c.args;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
    }
    // A FIFO or a folder as the chain file is refused at once, never waited on.
    ASSERT_EQ(::mkfifo((home / "x.pre").c_str(), 0600), 0);
    fs::create_directories(home / "folder.pre");
    for (const char* p : {"x.pre", "folder.pre"}) {
        EXPECT_EQ(run(nogui("--seconds 0.1 --preset '" + (home / p).string() + "'"), "timeout 20"), 2)
            << p << "\n" << out;
        EXPECT_NE(out.find("not a regular file"), std::string::npos) << p << "\n" << out;
    }
    // Without --nogui and without a display (or without the desktop program in this build): a
    // pointer to --nogui.
    EXPECT_EQ(run("", "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM"), 2);
    EXPECT_NE(out.find("--nogui"), std::string::npos) << out;
    EXPECT_EQ(run(nogui("--help")), 0);
    EXPECT_NE(out.find("--list-devices"), std::string::npos);
}

TEST_F(NoGui, PlaysTheLastChainAndLeavesTheSettingsAlone) {
    const fs::path factory = fs::path(VX_BIN_DIR) / "PRESETS";
    fs::create_directories(home / "PRESETS");
    for (const char* name : {"F9 - High Gain Distortion Noise Gate.pre", "F1 - Clean.pre"})
        fs::copy_file(factory / name, home / "PRESETS" / name);
    const std::string f9 = (home / "PRESETS" / "F9 - High Gain Distortion Noise Gate.pre").string();
    const std::string f1 = (home / "PRESETS" / "F1 - Clean.pre").string();
    const std::string quick = "--input 'Test signal' --output 'Null output' --seconds 0.3 ";

    EXPECT_EQ(run(nogui(quick)), 0) << out;
    EXPECT_NE(out.find("chain:  " + f9 + "\n"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(home / "face.ini"));

    const std::string face = "[Wave Devices]\nSampleFreq=1\n[Default Preset]\nPath=" + f1 + "\n";
    std::ofstream(home / "face.ini") << face;
    EXPECT_EQ(run(nogui(quick)), 0) << out;
    EXPECT_NE(out.find("chain:  " + f1 + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("rate:   48000 Hz, stereo"), std::string::npos) << "the options' defaults win\n" << out;
    std::ifstream in(home / "face.ini");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), face);

    EXPECT_EQ(run(nogui(quick + "--preset '" + f9 + "'")), 0) << out;
    EXPECT_NE(out.find("chain:  " + f9 + "\n"), std::string::npos) << out;
    EXPECT_EQ(run(nogui(quick + "--preset '" + (home / "face.ini").string() + "'")), 2) << out;
    EXPECT_NE(out.find("cannot read the FX chain file"), std::string::npos) << out;
}

TEST_F(NoGui, AnOutputThatDoesNotOpenFailsWithStatusOne) {
    // The WAV file cannot be made where a plain file stands in for the temp folder.
    std::FILE* f = std::fopen((home / "temp").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(run(nogui("--input 'Test signal' --output 'WAV file output' --seconds 1")), 1);
    EXPECT_NE(out.find("Error: Can not open  WAV file output 1"), std::string::npos) << out;
    EXPECT_EQ(out.find(" s  CPU"), std::string::npos);
}

}  // namespace

// The tuner headless on a recording played as the input: one reading a tick, in the fixed format.
TEST_F(NoGui, TunerReadsAWavFileInputTenTimesASecond) {
    const fs::path wav = home / "low E.wav";
    {
        // Longer than the run, so that no reading falls on the seam of the loop; -3.30 cents, well
        // inside its tenth.
        std::vector<short> tone(4 * 44100);
        const double hz = 82.25;
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] = static_cast<short>(std::lround(8000.0 * std::sin(2.0 * M_PI * hz * i / 44100.0)));
        ASSERT_TRUE(vx::test::write_sound_file(wav.string(), 44100, 1, tone));
    }
    EXPECT_EQ(run(nogui("--tuner --input 'WAV file input' --input-file '" + wav.string() +
                        "' --output 'Null output' --seconds 1.5")),
              0)
        << out;
    EXPECT_NE(out.find("input:  WAV file input (" + wav.string() + ")\n"), std::string::npos) << out;
    const std::regex reading("tuner  (--|E2   82.25 Hz   -3.3 cents)\n");
    const std::regex any_line("tuner  [^\n]*\n");
    int lines = 0, pitched = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), any_line); it != std::sregex_iterator(); ++it) {
        ++lines;
        EXPECT_TRUE(std::regex_match(it->str(), reading)) << it->str();
        pitched += it->str() != "tuner  --\n";
    }
    EXPECT_EQ(lines, 15) << out;
    EXPECT_GT(pitched, 0) << out;
    EXPECT_EQ(out.find(" s  CPU"), std::string::npos) << "the meter line gives way to the readings";

    // --input-file alone chooses the WAV input; without a usable file it does not start.
    EXPECT_EQ(run(nogui("--tuner --input-file '" + (home / "missing.wav").string() + "' --output 'Null output' --seconds 1")),
              1)
        << out;
    EXPECT_NE(out.find("missing.wav"), std::string::npos) << out;
    EXPECT_EQ(run(nogui("--input-file")), 2) << out;
}

// --- the command channel of a headless run (--commands) ---------------------------------------

namespace vx::test {

constexpr EffectKind kEqKind = 2;

class ControlCommands : public ProgramFolder {
protected:
    // Runs a line and returns its message ("" when it ran).
    std::string run(const std::string& line) { return run_control_command(*form, line).error; }
    Slider& slider(int n, const char* name) { return *inst(n)->form->find_as<Slider>(name); }
};

TEST_F(ControlCommands, WorkTheRackAsTheWindowsDo) {
    const fs::path f1 = write_preset("F1 - first.pre", {kGainKind, kDelayKind, kEqKind});
    write_preset("F10 - tenth.pre", {kNoiseGate});
    const fs::path other = home / "elsewhere.pre";
    fs::copy_file(write_preset("x.pre", {kWah}), other);
    open();
    EXPECT_EQ(run("F1"), "");
    EXPECT_EQ(kinds(), rack_of({kGainKind, kDelayKind, kEqKind}));
    EXPECT_EQ(form->last_chain_file(), f1.string());

    EXPECT_EQ(run("  set 2:ScrollBar_Delay_Time=20\r"), "");
    EXPECT_EQ(slider(2, "ScrollBar_Delay_Time").position(), 20);
    EXPECT_EQ(run("set 3:ScrollBar_EQ8_250=90"), "");
    EXPECT_EQ(run("press 3:Reset_Left"), "");
    EXPECT_EQ(slider(3, "ScrollBar_EQ8_250").position(), 50);

    EXPECT_EQ(run("off 2"), "");
    EXPECT_FALSE(s(2).onoff.checked());
    EXPECT_EQ(form->rack_table().enabled[1], 0);
    EXPECT_EQ(run("ON 2"), "");
    EXPECT_EQ(form->rack_table().enabled[1], 1);

    // F1 is not F10; a file outside PRESETS/ by its path.
    EXPECT_EQ(run("f10"), "");
    EXPECT_EQ(kinds(), rack_of({kNoiseGate}));
    EXPECT_EQ(run("preset " + other.string()), "");
    EXPECT_EQ(kinds(), rack_of({kWah}));

    for (const char* quiet : {"", "   ", "# a note", "\r"}) {
        const CommandOutcome r = run_control_command(*form, quiet);
        EXPECT_EQ(r.error, "") << quiet;
        EXPECT_FALSE(r.stop) << quiet;
    }
    EXPECT_TRUE(run_control_command(*form, "stop").stop);
}

TEST_F(ControlCommands, ABadLineSaysWhyAndChangesNothing) {
    write_preset("F1 - first.pre", {kGainKind, kDelayKind, kEqKind});
    fs::create_directories(home / "folder.pre");
    open();
    ASSERT_EQ(run("F1"), "");
    ASSERT_EQ(run("set 2:ScrollBar_Delay_Time=20"), "");
    const size_t messages = services.messages.size();
    const struct {
        std::string line, says;
    } cases[] = {
        {"set", "set needs S:NAME=VALUE"},
        {"set 2:ScrollBar_Delay_Time", "expected S:NAME=VALUE"},
        {"set x:ScrollBar_Delay_Time=3", "slot \"x\" is not a number"},
        {"set 17:ScrollBar_Delay_Time=3", "slot 17 is out of range 1..16"},
        {"set 4:ScrollBar_Delay_Time=3", "slot 4 is empty"},
        {"set 2:Nope=3", "slot 2 (Delay) has no control \"Nope\""},
        {"set 2:ScrollBar_Delay_Time=100000", "outside"},
        {"set 2:ScrollBar_Delay_Time=7.5", "not a whole number"},
        {"press 3", "press needs S:NAME"},
        {"press 3:ScrollBar_EQ8_250", "a slider is not pressed"},
        {"on", "on needs a slot number 1..16"},
        {"off 0", "the slot is a number 1..16"},
        {"off two", "the slot is a number 1..16"},
        {"preset", "preset needs a FILE.pre"},
        {"preset " + (home / "missing.pre").string(), "cannot read the FX chain file"},
        {"preset " + (home / "folder.pre").string(), "not a regular file"},
        {"F2", "no preset of PRESETS/ starts with \"F2\""},
        {"F13", "unknown command \"F13\""},
        {"F01", "unknown command"},
        {"F1 now", "unknown command"},
        {"stop now", "unknown command"},
        {"load x.pre", "unknown command \"load x.pre\" (set S:NAME=VALUE"},
    };
    for (const auto& c : cases) {
        const CommandOutcome r = run_control_command(*form, c.line);
        EXPECT_NE(r.error.find(c.says), std::string::npos) << c.line << " -> " << r.error;
        EXPECT_FALSE(r.stop) << c.line;
        EXPECT_EQ(kinds(), rack_of({kGainKind, kDelayKind, kEqKind})) << c.line;
        EXPECT_EQ(slider(2, "ScrollBar_Delay_Time").position(), 20) << c.line;
        EXPECT_EQ(form->rack_table().enabled[1], 1) << c.line;
    }
    EXPECT_EQ(services.messages.size(), messages) << "the message is the command's alone";
}

// Collects what a reader hands over, and waits for a number of lines (no clock involved).
struct Lines {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<std::string, bool>> got;
    CommandReader::LineHandler handler() {
        return [this](const std::string& line, bool too_long) {
            std::lock_guard<std::mutex> lock(m);
            got.emplace_back(line, too_long);
            cv.notify_all();
        };
    }
    void wait_for(size_t n) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return got.size() >= n; });
    }
};

TEST(CommandReaderTest, SplitsAFileIntoLinesAndCutsAnOverlongOne) {
    const fs::path dir = fs::temp_directory_path() / ("vx-commands-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string longer(CommandReader::kMaxLine + 10, 'x');
    std::ofstream(dir / "cmds.txt") << "set 1:A=1\nF2\r\n\n" << longer << "\nlast";
    Lines lines;
    CommandReader reader;
    ASSERT_EQ(reader.start((dir / "cmds.txt").string(), lines.handler()), "");
    reader.wait_for_end();
    const std::vector<std::pair<std::string, bool>> expected = {
        {"set 1:A=1", false}, {"F2\r", false}, {"", false}, {longer.substr(0, CommandReader::kMaxLine), true}, {"last", false}};
    EXPECT_EQ(lines.got, expected);
    // What cannot be read is said at the start.
    EXPECT_NE(reader.start((dir / "none").string(), lines.handler()).find("No such file"), std::string::npos);
    EXPECT_NE(reader.start(dir.string(), lines.handler()).find("it is a folder"), std::string::npos);
    fs::remove_all(dir);
}

TEST(CommandReaderTest, AFifoOutlivesItsWritersUntilStopped) {
    const fs::path fifo = fs::temp_directory_path() / ("vx-commands-" + std::to_string(::getpid()) + ".fifo");
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Lines lines;
    CommandReader reader;
    ASSERT_EQ(reader.start(fifo.string(), lines.handler()), "");
    for (const char* text : {"on 1\n", "off 1\nhalf"}) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
        ::close(fd);
    }
    lines.wait_for(2);
    reader.stop();  // returns though the FIFO has no end; the unfinished line is dropped
    EXPECT_EQ(lines.got, (std::vector<std::pair<std::string, bool>>{{"on 1", false}, {"off 1", false}}));
    fs::remove(fifo);
}

}  // namespace vx::test

namespace {

// The whole run: lines from standard input, a bad one said and skipped, "stop" ending it.
TEST_F(NoGui, CommandsFromStandardInputChangeTheRunningRack) {
    fs::create_directories(home / "PRESETS");
    vx::ChainFile rec;
    rec.version = vx::kChainFileVersion;
    rec.kind[0] = 13;  // Gain
    rec.kind[1] = 12;  // Record wav
    rec.onoff[0] = rec.onoff[1] = 1;
    const fs::path with_recorder = home / "PRESETS" / "F1 - rec.pre";
    ASSERT_EQ(vx::write_chain_file(with_recorder.string(), rec), "");
    rec.kind[1] = 0;
    ASSERT_EQ(vx::write_chain_file((home / "PRESETS" / "F2 - gain.pre").string(), rec), "");
    const std::string input = "printf 'set 1:CheckRadioBox_Air=1\\nset 1:Nope=1\\noff 1\\nbogus\\nF2\\nstop\\n' | ";
    const std::string args = "--input 'Test signal' --output 'Null output' --seconds 600 --commands - --preset '" +
                             with_recorder.string() + "' --record '2:" + (home / "take.wav").string() + "'";
    // A chain loaded while running replaces the recorder whose take --record saves: said, not crashed.
    EXPECT_EQ(run(nogui(args), input), 1) << out;
    EXPECT_NE(out.find("varnomix: set \"1:Nope=1\": slot 1 (Gain) has no control \"Nope\""), std::string::npos) << out;
    EXPECT_NE(out.find("varnomix: unknown command \"bogus\""), std::string::npos) << out;
    const std::regex skipped("; line skipped\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), skipped), std::sregex_iterator()), 2)
        << "good lines pass quietly\n" << out;
    EXPECT_EQ(out.find("CheckRadioBox_Air=1\":"), std::string::npos) << out;
    EXPECT_NE(out.find("stopped: "), std::string::npos) << out;
    EXPECT_NE(out.find("slot 2 holds no \"Record wav\" any more"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(home / "take.wav"));

    EXPECT_EQ(run(nogui("--commands '" + (home / "none").string() + "'")), 2) << out;
    EXPECT_NE(out.find("--commands: cannot read"), std::string::npos) << out;
    EXPECT_EQ(run(nogui("--commands")), 2) << out;
}

}  // namespace

namespace {

// A file far longer than the queue: read in turn, every line answered, and no end held up by the
// reader waiting for room.
TEST_F(NoGui, ALongCommandFileIsReadInTurnAndNeverHoldsUpTheEnd) {
    const fs::path file = home / "commands.txt";
    {
        std::ofstream f(file);
        for (int i = 0; i < 300; ++i) f << "bogus " << i << "\n";
    }
    const std::string args = "--input 'Test signal' --output 'Null output' --commands '" + file.string() + "'";
    std::ofstream(file, std::ios::app) << "stop\n";
    EXPECT_EQ(run(nogui(args + " --seconds 600")), 0) << out;
    const std::regex skipped("unknown command \"bogus [0-9]+\"[^\n]*; line skipped\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), skipped), std::sregex_iterator()), 300);
    EXPECT_LT(out.find("\"bogus 0\""), out.find("\"bogus 150\"")) << "in their order";
    EXPECT_LT(out.find("\"bogus 150\""), out.find("\"bogus 299\"")) << "in their order";

    // START fails (no temp folder for the WAV file) while the reader waits for room.
    fs::remove_all(home / "temp");
    std::ofstream(home / "temp") << "a file";
    EXPECT_EQ(run(nogui("--input 'Test signal' --output 'WAV file output' --commands '" + file.string() + "'")), 1)
        << out;
}

}  // namespace
