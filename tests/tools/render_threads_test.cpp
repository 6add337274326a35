// The render on two threads: the rack split anywhere between the reading and the writing thread
// gives the file the one-thread render gives, byte for byte, and a failure on either thread ends the
// render with its message.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "chain_builder.h"
#include "record_wavs.h"
#include "render_stream.h"
#include "sound_file.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

// Every kind, in two racks; the second holds pairs of one kind far apart, so that most splits put
// one of each pair on either thread. "+KIND" fills the next slot, anything else sets a control.
struct Rack {
    const char* name;
    std::vector<std::string> steps;
};
const Rack kRacks[] = {
    {"every kind",
     {"+noise gate", "1:ScrollBar_Porog_Max=60", "+EQ (8 bands) + Filters", "2:CheckRadioBox_FVC_OnOff=1",
      "2:CheckRadioBox_FNC_OnOff=1", "2:CheckRadioBox_Shelf=1", "2:CheckRadioBox_fnc_2000_OnOff=1",
      "2:CheckRadioBox_Filter_Notch=1", "+Distortion-Compresor", "+Distortion (Simple)", "+Distortorton Plus",
      "+Distortion (Soft/Hard)", "+wah", "+Flanger / Chorus", "8:RadioBox_Chorus=1", "+Delay",
      "+Reverberator", "+Playback wav file", "+Record wav", "+Gain", "13:RadioBox_SimpleChorus=1"}},
    {"pairs apart",
     {"+Delay", "+Flanger / Chorus", "+Reverberator", "+wah", "+Record wav", "+Gain", "+Distortion-Compresor",
      "+Delay", "5:ComboBox_Memory=1", "8:CheckRadioBox_Small_Flanger=1", "+Flanger / Chorus",
      "9:CheckRadioBox_Gang=0", "+Reverberator", "+wah", "11:CheckRadioBox_Sweep_OnOff=0", "+Record wav",
      "+Distortion-Compresor"}},
};

class RenderThreads : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The player's demo file and the settings the kinds read; never written.
        ASSERT_EQ(use_program_home(VX_BIN_DIR), "");
    }
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vx-render-threads-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // A guitar-like input: notes that swell and die away into silence, with a little noise.
    std::string input(const std::string& name, int channels, int64_t frames) {
        std::vector<float> s;
        uint32_t noise = 12345;
        for (int64_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i % 12000) / 12000.0;
            const double env = t < 0.6 ? std::exp(-5.0 * t) : 0.0;
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 1e-3;
                s.push_back(static_cast<float>(0.7 * env * std::sin(0.031 * static_cast<double>(i) * (1 + c)) + n));
            }
        }
        const std::string p = (dir / name).string();
        EXPECT_TRUE(test::write_sound_file(p, 48000, channels, s));
        return p;
    }

    struct Output {
        std::string file;            // the whole output file
        std::vector<int16_t> takes;  // every recorder's take, one after the other
        StreamResult result;
    };
    Output render(const Rack& rack, const std::string& in, int channels, int block, int threads, int split) {
        OfflineChain chain;
        for (const std::string& step : rack.steps)
            EXPECT_EQ(step[0] == '+' ? chain.add_effect(step.substr(1)) : chain.set_control(step), "") << step;
        std::vector<TRecord_wav_form*> recorders;
        for (int slot = 1; slot <= OfflineChain::kSlots; ++slot)
            if (auto* r = dynamic_cast<TRecord_wav_form*>(chain.form(slot))) {
                r->Button_Save.click();
                recorders.push_back(r);
            }
        chain.load();
        AudioReader reader;
        EXPECT_EQ(reader.open(in), "");
        const std::string out = (dir / "out.wav").string();
        AudioWriter writer;
        EXPECT_EQ(writer.open(out, reader.sample_rate(), channels, false), "");
        StreamSettings s;
        s.block = block;
        s.channels = channels;
        s.threads = threads;
        s.split = split;
        s.output_name = out;
        Output o;
        o.result = render_stream(reader, writer, s);
        EXPECT_EQ(o.result.error, "");
        EXPECT_EQ(writer.finish(), "");
        std::ifstream f(out, std::ios::binary);
        o.file.assign(std::istreambuf_iterator<char>(f), {});
        // The float file's peak chunk says when it was written, to the second.
        if (const size_t peak = o.file.find("PEAK"); peak != std::string::npos && peak + 16 <= o.file.size())
            o.file.replace(peak + 12, 4, 4, '\0');
        for (TRecord_wav_form* r : recorders) {
            o.takes.insert(o.takes.end(), r->rec_samples(), r->rec_samples() + r->rec_count.load());
            o.takes.push_back(r->memory_full ? 1 : 0);
        }
        return o;
    }

    fs::path dir;
};

TEST_F(RenderThreads, AnySplitGivesTheOneThreadFile) {
    // Mono, stereo, and mono doubled to stereo. On the usual blocks the file runs over four pieces
    // and a bit, so that the ring of pieces turns and the split chosen by timing takes over; on the
    // smallest, whose walks cost the most, over one piece and a bit.
    struct Layout { int file_channels, channels; };
    const Layout layouts[] = {{2, 2}, {1, 1}, {1, 2}};
    for (const Layout& l : layouts) {
        const std::string name = "in" + std::to_string(l.file_channels);
        const std::string in_long = input(name + "-long.wav", l.file_channels, 4 * 16384 + 333);
        const std::string in_short = input(name + "-short.wav", l.file_channels, 16384 + 333);
        for (const Rack& rack : kRacks) {
            const int used = static_cast<int>(std::count_if(rack.steps.begin(), rack.steps.end(),
                                                            [](const std::string& s) { return s[0] == '+'; }));
            for (int block : {1, 7, 480, 512}) {
                const std::string& in = block >= 480 ? in_long : in_short;
                SCOPED_TRACE(std::string(rack.name) + ", " + std::to_string(l.file_channels) + " -> " +
                             std::to_string(l.channels) + " channels, block " + std::to_string(block));
                const Output one = render(rack, in, l.channels, block, 1, -1);
                ASSERT_GT(one.file.size(), 16384u * 4 * static_cast<size_t>(l.channels));
                // Every split of the racks on the usual block in stereo, a spread and the split that
                // timing chooses on the other usual ones, two on the smallest (a piece is all their
                // file has to time).
                std::vector<int> splits{0, used / 2};
                if (block >= 480) splits.insert(splits.end(), {-1, used, kTableCapacity});
                if (block == 480 && l.channels == 2 && l.file_channels == 2)
                    for (int k = 1; k < used; ++k) splits.push_back(k);
                for (int split : splits) {
                    const Output two = render(rack, in, l.channels, block, 2, split);
                    EXPECT_TRUE(two.file == one.file) << "split " << split << " changed the output";
                    EXPECT_EQ(two.takes, one.takes) << "split " << split << " changed a take";
                    if (split >= 0) {
                        EXPECT_EQ(two.result.split, split);
                    }
                    // Timed, the reading thread hands slots over (or all of them: the first slot
                    // may take less than the read).
                    if (split < 0 && in == in_long) {
                        EXPECT_LE(two.result.split, used);
                    }
                }
            }
        }
    }
}

// The ends of the stream: nothing at all, less than a block, exactly one or two pieces (the end is
// found by a read that gets nothing), and a piece and one frame. Short enough to run under the
// thread sanitizer, with every kind on either thread.
TEST_F(RenderThreads, FileLengthsAtThePieceEdges) {
    const int64_t piece = 480 * (16384 / 480);
    for (int64_t frames : {int64_t{0}, int64_t{1}, int64_t{479}, piece, 2 * piece, piece + 1}) {
        const std::string in = input("edge.wav", 2, frames);
        for (const Rack& rack : kRacks) {
            SCOPED_TRACE(std::string(rack.name) + ", " + std::to_string(frames) + " frames");
            const Output one = render(rack, in, 2, 480, 1, -1);
            for (int split : {0, 6, kTableCapacity}) {
                const Output two = render(rack, in, 2, 480, 2, split);
                EXPECT_TRUE(two.file == one.file) << "split " << split;
                EXPECT_EQ(two.takes, one.takes) << "split " << split;
            }
        }
    }
}

// The thread that writes meets a full disk (a file size limit here): the render ends with the
// message and status of a failed write, leaves nothing behind, and the reading thread does not wait
// for ever for room in the ring.
TEST_F(RenderThreads, AFailedWriteEndsTheRenderOnOneThreadOrTwo) {
    const std::string in = input("long.wav", 2, 40 * 16384);
    const std::string out = (dir / "out.wav").string();
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        // A signal for a file grown past the limit would kill the program before the write fails;
        // ignored, the write fails instead, some pieces into the file (the limit counts blocks of
        // 512 or 1024 bytes, as the shell has it; the output needs 5 MB).
        const std::string cmd = "trap '' XFSZ; ulimit -f 2048; exec " + std::string(VX_BIN_DIR) +
                                "/varnomix-render --quiet --threads " + threads +
                                " --fx Delay --fx Reverberator --fx Gain " + in + " " + out + " 2>" +
                                (dir / "err.txt").string();
        const int st = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), 2);
        std::ifstream f(dir / "err.txt");
        const std::string err((std::istreambuf_iterator<char>(f)), {});
        EXPECT_NE(err.find("cannot write \"" + out + "\": write failed"), std::string::npos) << err;
        for (auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().filename().string().find("out.wav"), std::string::npos);
    }
}

TEST(RenderSplit, TheBusierThreadGetsLeast) {
    struct Case {
        std::vector<int64_t> entries;
        int64_t read, write;
        int32_t split;
    };
    const Case cases[] = {
        {{10, 10, 10, 10}, 0, 0, 2},
        {{10, 10, 10, 10}, 20, 0, 1},   // the reader's own work counts on its side
        {{10, 10, 10, 10}, 0, 35, 4},   // and the writer's on the other
        {{1, 100, 1, 1}, 0, 0, 2},      // one heavy entry: the rest on the other side
        {{100, 1, 1, 1}, 0, 0, 1},
        {{}, 5, 5, 0},                  // nothing to share
    };
    for (const Case& c : cases) {
        int64_t ns[kTableCapacity] = {};
        std::copy(c.entries.begin(), c.entries.end(), ns);
        EXPECT_EQ(balanced_split(ns, c.read, c.write), c.split) << c.entries.size() << " " << c.read << " " << c.write;
    }
}

TEST(RenderSplit, OneWorkingSlotRendersOnOneThread) {
    OfflineChain chain;
    EXPECT_EQ(default_render_threads(chain.table()), 1);
    ASSERT_EQ(chain.add_effect("Gain"), "");
    ASSERT_EQ(chain.add_effect("Delay"), "");
    ASSERT_EQ(chain.switch_off("2"), "");
    EXPECT_EQ(default_render_threads(chain.table()), 1);
}

}  // namespace
}  // namespace vx
