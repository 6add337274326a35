#include "read_wav.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "engine/ini.h"
#include "fx_helpers.h"
#include "wav_test_helpers.h"

namespace vx {
namespace {

using test::Instance;
namespace fs = std::filesystem;
using test::WavLayout;
constexpr EffectKind kPlayer = 11;

class Player : public test::WavFolder {
protected:
    // Loads `layout` (written to a file) into `p` as the start-up load does.
    fs::path load(TReadWav& p, const WavLayout& layout, const std::string& name = "take.wav") {
        const fs::path file = home / name;
        test::write_file(file, layout.bytes());
        p.wav_path = file.string();
        p.SaveFilePlayBack();
        return file;
    }
    static std::vector<int16_t> ramp(int n, int from = 1, int step = 1) {
        std::vector<int16_t> v;
        for (int i = 0; i < n; ++i) v.push_back(static_cast<int16_t>(from + i * step));
        return v;
    }
};

// The mix written out plainly, one frame at a time, from the file's samples (missing ones are 0).
std::vector<float> reference(const std::vector<float>& in, int engine_ch, const std::vector<int16_t>& s, int file_ch,
                             int frame_total, int frames) {
    std::vector<float> out = in;
    auto at = [&](size_t i) -> int32_t { return i < s.size() ? s[i] : 0; };
    int pos = 0;
    for (int f = 0; f < frames; ++f) {
        if (engine_ch == 1) {
            const double add = file_ch == 1 ? static_cast<double>(at(pos)) * 1.0
                                            : static_cast<double>(at(2 * pos) + at(2 * pos + 1)) * 0.707 * 1.0;
            out[f] = static_cast<float>(add + in[f]);
        } else {
            const int32_t l = file_ch == 2 ? at(2 * pos) : at(pos);
            const int32_t r = file_ch == 2 ? at(2 * pos + 1) : at(pos);
            out[2 * f] = static_cast<float>(l * 1.0 + in[2 * f]);
            out[2 * f + 1] = static_cast<float>(r * 1.0 + in[2 * f + 1]);
        }
        if (++pos == frame_total) pos = 0;
    }
    return out;
}

TEST_F(Player, ChannelCasesLoopBitExactInAnyBlockSize) {
    struct Case { int file_ch, engine_ch; };
    for (Case c : {Case{1, 2}, Case{2, 1}, Case{2, 2}, Case{1, 1}}) {
        WavLayout layout;
        layout.channels = static_cast<uint16_t>(c.file_ch);
        // 37 frames of odd values, so sums and 0.707 products are not round.
        layout.samples = ramp(37 * c.file_ch, -12345, 337);
        const int frames = 1500;
        const auto in = test::noise(static_cast<size_t>(frames * c.engine_ch), 7, 3000.0f);
        const auto want = reference(in, c.engine_ch, layout.samples, c.file_ch, 37, frames);
        for (int block : {1, 7, 480, 512}) {
            Instance inst(kPlayer);
            auto& p = inst.as<TReadWav>();
            load(p, layout);
            ASSERT_EQ(p.play_ready.load(), 1);
            p.spSkinScrollBar1.set_position(100);  // not connected: the gain stays 1
            auto buf = in;
            inst.process(buf, c.engine_ch, block);
            for (size_t i = 0; i < buf.size(); ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(buf[i]), std::bit_cast<uint32_t>(want[i]))
                    << "file " << c.file_ch << " engine " << c.engine_ch << " block " << block << " sample " << i;
        }
    }
    // The telling values: a mono file on both sides; a stereo pair summed x 0.707.
    Instance inst(kPlayer);
    auto& p = inst.as<TReadWav>();
    WavLayout mono;
    mono.channels = 1;
    mono.samples = {1000, -3};
    load(p, mono);
    std::vector<float> st(4, 0.5f);
    p.Read_wav_file(2, 48000, 2, st.data());
    EXPECT_EQ(st, (std::vector<float>{1000.5f, 1000.5f, -2.5f, -2.5f}));
    WavLayout stereo;
    stereo.samples = {10000, 20000};
    load(p, stereo);
    std::vector<float> m(1, 0.0f);
    p.Read_wav_file(1, 48000, 1, m.data());
    EXPECT_EQ(m[0], static_cast<float>(30000 * 0.707));
}

TEST_F(Player, LogAndChunksBetweenFormatAndData) {
    WavLayout layout;
    layout.rate = 44100;
    layout.channels = 1;
    layout.format_size = 18;  // cbSize present
    test::put_text(layout.between, "LIST");
    test::put32(layout.between, 5);
    test::put_text(layout.between, "INFOx");
    layout.between.push_back(0);  // the pad byte of an odd chunk
    layout.samples = {7, 8, 9};
    Instance inst(kPlayer);
    auto& p = inst.as<TReadWav>();
    const fs::path file = load(p, layout);
    EXPECT_EQ(p.play_ready.load(), 1);
    EXPECT_TRUE(dialogs.said.empty());
    const std::vector<std::string> log(p.spSkinMemo1.lines().end() - 7, p.spSkinMemo1.lines().end());
    EXPECT_EQ(log, (std::vector<std::string>{"file name: " + file.string(), "Channels=1", "Samples Per Second=44100",
                                             "Bits Per Sample=16", "Data Size =6", "Read from file: 6 bytes.", ""}));
    std::vector<float> buf(4, 0.0f);
    p.Read_wav_file(4, 48000, 1, buf.data());
    EXPECT_EQ(buf, (std::vector<float>{7, 8, 9, 7}));
}

TEST_F(Player, IncompleteLastFrameAndShortFileAndHugeHeader) {
    Instance inst(kPlayer);
    auto& p = inst.as<TReadWav>();
    // 3 whole stereo frames and half of a fourth: the half is never played.
    WavLayout odd;
    odd.samples = {1, 2, 3, 4, 5, 6, 7};
    odd.extra_byte = 0x11;
    load(p, odd);
    EXPECT_EQ(p.frame_total, 3);
    std::vector<float> buf(14, 0.0f);
    p.Read_wav_file(7, 48000, 2, buf.data());
    EXPECT_EQ(buf, (std::vector<float>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6, 1, 2}));

    // Declares 5 mono frames, holds 2: the loop runs through 3 silent frames.
    WavLayout shorter;
    shorter.channels = 1;
    shorter.samples = {100, 200};
    shorter.declared = 10;
    load(p, shorter);
    EXPECT_EQ(p.frame_total, 5);
    std::vector<float> m(12, -0.0f);
    p.Read_wav_file(12, 48000, 1, m.data());
    EXPECT_EQ(m, (std::vector<float>{100, 200, 0, 0, 0, 100, 200, 0, 0, 0, 100, 200}));
    EXPECT_FALSE(std::signbit(m[2]));  // as 0 + (-0.0) gives

    // A header that claims almost 2 GB reserves only what the file holds.
    shorter.declared = 0x7FFFFFF0u;
    load(p, shorter);
    EXPECT_EQ(p.play_ready.load(), 1);
    EXPECT_LE(p.reserved_bytes(), 200u);
    EXPECT_EQ(p.frame_total, 0x7FFFFFF0 / 2);
    std::vector<float> big(2 * 512, 1.0f);
    p.Read_wav_file(512, 48000, 2, big.data());
    EXPECT_EQ(big[0], 101.0f);
    EXPECT_EQ(big[3], 201.0f);
    EXPECT_EQ(big[1023], 1.0f);
    EXPECT_EQ(p.play_pos.load(), 512);
}

TEST_F(Player, FrameCountZeroAndPauseKeepThePosition) {
    Instance inst(kPlayer);
    auto& p = inst.as<TReadWav>();
    WavLayout layout;
    layout.channels = 1;
    layout.samples = ramp(10);
    load(p, layout);
    std::vector<float> buf(8, 0.0f);
    p.Read_wav_file(3, 48000, 1, buf.data());
    p.Read_wav_file(0, 48000, 1, buf.data() + 3);
    p.Read_wav_file(-5, 48000, 1, buf.data() + 3);
    EXPECT_EQ(p.play_pos.load(), 3);
    // The engine stopped and started again: the next block goes on from frame 3.
    p.Read_wav_file(5, 48000, 1, buf.data() + 3);
    EXPECT_EQ(buf, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}));

    // Data too short for one frame: loaded, nothing to play, nothing read out of bounds.
    WavLayout tiny;
    tiny.samples = {5};
    load(p, tiny);
    EXPECT_EQ(p.frame_total, 0);
    std::vector<float> st(6, 2.0f);
    p.Read_wav_file(3, 48000, 2, st.data());
    EXPECT_EQ(st, std::vector<float>(6, 2.0f));
}

TEST_F(Player, EveryRefusalSaysWhyAndLeavesTheSignalAlone) {
    WavLayout good;
    good.samples = {1, 2};
    auto with = [&](auto change) {
        WavLayout s = good;
        change(s);
        return s.bytes();
    };
    auto cut = [](std::vector<uint8_t> b, size_t n) {
        b.resize(n);
        return b;
    };
    std::vector<uint8_t> extensible_float = with([](WavLayout& s) {
        s.tag = 0xFFFE;
        s.bits = 32;
        s.format_size = 40;
        s.format_tail = {22, 0, 32, 0, 3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    });
    std::vector<uint8_t> no_data = with([](WavLayout& s) { s.samples = std::vector<int16_t>(20, 0x6161); });
    std::memcpy(no_data.data() + 36, "date", 4);
    std::vector<uint8_t> not_wave = good.bytes();
    std::memcpy(not_wave.data() + 8, "WAVEfmx ", 8);
    struct Case { const char* what; std::vector<uint8_t> bytes; std::string said; };
    const std::string pcm_only = "; only 16-bit PCM files can be played.";
    const std::vector<Case> cases = {
        {"45 bytes", cut(with([](WavLayout& s) { s.samples = {1, 2, 3}; }), 45),
         "warning: Too small file! There is no space for WaveFormatEx!"},
        {"no WAVEfmt", not_wave, "message: WAVEfmt Substring not found"},
        {"format chunk 15", with([](WavLayout& s) { s.format_size = 15; }),
         "message: Too small size of Wave-Format-Size sructure"},
        {"format chunk 401", with([](WavLayout& s) { s.format_size = 401; }),
         "message: Too big size of Wave-Format-Size sructure"},
        {"no data tag", no_data, "message: data Substring not found"},
        {"24 bits", with([](WavLayout& s) { s.bits = 24; }), "message: This wav file has 24 bits per sample" + pcm_only},
        {"8 bits", with([](WavLayout& s) { s.bits = 8; }), "message: This wav file has 8 bits per sample" + pcm_only},
        {"float", with([](WavLayout& s) { s.tag = 3; s.bits = 32; }),
         "message: This wav file holds floating-point samples (32 bits)" + pcm_only},
        {"extensible float", extensible_float,
         "message: This wav file holds floating-point samples (32 bits)" + pcm_only},
        {"A-law", with([](WavLayout& s) { s.tag = 6; }), "message: This wav file is not PCM (format tag 6)" + pcm_only},
        {"0 channels", with([](WavLayout& s) { s.channels = 0; }),
         "message: This wav file declares 0 channels; only mono and stereo files can be played."},
        {"3 channels", with([](WavLayout& s) { s.channels = 3; }),
         "message: This wav file declares 3 channels; only mono and stereo files can be played."},
        {"negative size", with([](WavLayout& s) { s.declared = 0x80000000u; }),
         "message: This wav file declares 2147483648 bytes of samples, more than a wav file can hold."},
    };
    Instance inst(kPlayer);
    auto& p = inst.as<TReadWav>();
    const auto in = test::noise(64, 3);
    for (const Case& c : cases) {
        load(p, good);  // playing before each refusal
        ASSERT_EQ(p.play_ready.load(), 1);
        dialogs.said.clear();
        const fs::path file = home / "bad.wav";
        test::write_file(file, c.bytes);
        p.wav_path = file.string();
        p.SaveFilePlayBack();
        EXPECT_EQ(dialogs.said, (std::vector<std::string>{c.said, "message: Error: wrong wav file format."})) << c.what;
        EXPECT_EQ(p.play_ready.load(), 0) << c.what;
        EXPECT_EQ(p.spSkinMemo1.lines().back().rfind("file name: ", 0) == 0 ||
                      p.spSkinMemo1.lines().back().rfind("Data Size =", 0) == 0,
                  true)
            << c.what;
        auto buf = in;
        p.Read_wav_file(32, 48000, 2, buf.data());
        EXPECT_EQ(buf, in) << c.what;
    }
    // A missing file, and the extensible form with a PCM sub-format, which plays.
    dialogs.said.clear();
    p.wav_path = (home / "absent.wav").string();
    p.SaveFilePlayBack();
    EXPECT_EQ(dialogs.said,
              (std::vector<std::string>{"warning: File access error", "message: Error: wrong wav file format."}));
    dialogs.said.clear();
    WavLayout ext = good;
    ext.tag = 0xFFFE;
    ext.format_size = 40;
    ext.format_tail = {22, 0, 16, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    load(p, ext);
    EXPECT_TRUE(dialogs.said.empty());
    EXPECT_EQ(p.play_ready.load(), 1);
}

TEST_F(Player, PlaybackIniAndTheButton) {
    const fs::path ini = home / "playback.ini";
    WavLayout demo;
    demo.samples = {3, 4};
    test::write_file(home / "demo1.wav", demo.bytes());
    {
        // A tool: the demo plays, but no settings file appears.
        set_settings_read_only(true);
        Instance inst(kPlayer);
        EXPECT_EQ(inst.as<TReadWav>().play_ready.load(), 1);
        EXPECT_FALSE(fs::exists(ini));
        set_settings_read_only(false);
    }
    Instance inst(kPlayer);
    auto& p = inst.as<TReadWav>();
    EXPECT_EQ(IniFile(ini.string()).read_string("File", "Path", ""), (home / "demo1.wav").string());
    EXPECT_EQ(p.play_ready.load(), 1);
    EXPECT_EQ(p.play_gain, 1.0f);

    WavLayout other;
    other.channels = 1;
    other.samples = {50};
    test::write_file(home / "other.wav", other.bytes());
    dialogs.answers = {(home / "other.wav").string()};
    p.spSkinButton1.click();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, "Open file");
    EXPECT_EQ(p.wav_path, (home / "other.wav").string());
    EXPECT_EQ(IniFile(ini.string()).read_string("File", "Path", ""), (home / "other.wav").string());
    std::vector<float> buf(2, 0.0f);
    p.Read_wav_file(1, 48000, 2, buf.data());
    EXPECT_EQ(buf, (std::vector<float>{50, 50}));

    // Cancelled: the same file again, from its start.
    p.Read_wav_file(1, 48000, 2, buf.data());
    const size_t lines = p.spSkinMemo1.lines().size();
    p.spSkinButton1.click();
    EXPECT_EQ(p.spSkinMemo1.lines().size(), lines + 7);
    EXPECT_EQ(p.play_pos.load(), 0);

    // A later instance starts with what the button chose; a missing file leaves it silent.
    {
        Instance second(kPlayer);
        EXPECT_EQ(second.as<TReadWav>().wav_path, (home / "other.wav").string());
        EXPECT_EQ(second.as<TReadWav>().play_ready.load(), 1);
    }
    fs::remove(home / "other.wav");
    Instance third(kPlayer);
    EXPECT_EQ(third.as<TReadWav>().play_ready.load(), 0);
    EXPECT_TRUE(dialogs.said.empty());

    // Nothing travels through a parameter block.
    ParameterBlock b{};
    b[3] = 77;
    get_registry().params[kPlayer](b.data(), third.cell(), 0);
    get_registry().params[kPlayer](b.data(), third.cell(), 1);
    EXPECT_EQ(b[3], 77);
}

// Loads alternate while another thread runs blocks through the chain runner: every block sees
// either no file or one whole file, never freed memory.
TEST_F(Player, NewLoadWhileBlocksRun) {
    WavLayout a, b;
    a.channels = b.channels = 1;
    a.samples = std::vector<int16_t>(3000, 1000);
    b.samples = std::vector<int16_t>(50, 2000);
    test::write_file(home / "a.wav", a.bytes());
    test::write_file(home / "b.wav", b.bytes());
    ChainTable table;
    set_table_entry(table, 0, kPlayer);
    table.enabled[0] = 1;
    table.count = 1;
    auto& p = *static_cast<TReadWav*>(table.instance[0]->form);
    load_chain(table);

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, blocks{0};
    std::thread audio([&] {
        std::vector<float> buf(2 * 64);
        while (!stop.load()) {
            std::fill(buf.begin(), buf.end(), 0.0f);
            ChainRunner(64, 48000, 2, buf.data());
            for (float x : buf)
                if (x != 0.0f && x != 1000.0f && x != 2000.0f) bad.fetch_add(1);
            blocks.fetch_add(1);
        }
    });
    for (int i = 0; i < 200; ++i) {
        p.wav_path = (home / (i % 2 ? "a.wav" : "b.wav")).string();
        p.SaveFilePlayBack();
        EXPECT_EQ(p.play_ready.load(), 1);
    }
    // At least a few blocks ran alongside, however loaded the machine is.
    while (blocks.load() < 20) std::this_thread::yield();
    stop.store(true);
    audio.join();
    EXPECT_EQ(bad.load(), 0);
    load_chain(ChainTable{});
    force_destroy_instance(table.instance[0]);
}

// The demo backing track the build lays into the program folder.
TEST(PlayerDemo, BuildsDemoTrackThePlayerAccepts) {
    const char* build = std::getenv("VX_BUILD");
    if (build == nullptr) GTEST_SKIP() << "VX_BUILD not set";
    const auto bytes = test::read_file(fs::path(build) / "demo1.wav");
    ASSERT_GT(bytes.size(), 48000u * 4 * 4);
    test::ScriptedDialogs dialogs;
    EditorDialogs* before = set_editor_dialogs(&dialogs);
    set_settings_read_only(true);
    TReadWav p;
    p.wav_path = (fs::path(build) / "demo1.wav").string();
    p.SaveFilePlayBack();
    set_settings_read_only(false);
    set_editor_dialogs(before);
    EXPECT_TRUE(dialogs.said.empty());
    EXPECT_EQ(p.wav_format.channels, 2);
    EXPECT_EQ(p.wav_format.samples_per_sec, 48000u);
    EXPECT_EQ(p.wav_format.bits_per_sample, 16);
    EXPECT_EQ(p.held_frames, p.frame_total);
    // Not silent, and not clipped hard.
    int peak = 0;
    for (int i = 0; i < 2 * p.frame_total; ++i) peak = std::max(peak, std::abs(static_cast<int>(p.sample_data()[i])));
    EXPECT_GT(peak, 8000);
    EXPECT_LT(peak, 32000);
}

}  // namespace
}  // namespace vx
