#include "record_wavs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <bit>
#include <limits>

#include "fx_helpers.h"
#include "read_wav.h"
#include "wav_test_helpers.h"

namespace vx {
namespace {

using test::Instance;
namespace fs = std::filesystem;
constexpr EffectKind kRecorder = 12, kPlayer = 11;

class Recorder : public test::WavFolder {
protected:
    // The signal watch: two ticks of the 100 ms timer, with or without a block between them.
    static void two_ticks(TRecord_wav_form& r, bool blocks_arrive) {
        std::vector<float> b(2, 0.0f);
        r.Timer1.tick();
        if (blocks_arrive) r.Record_wav(1, r.last_rate(), r.rec_channels(), b.data());
        r.Timer1.tick();
    }
    static void choose_memory(TRecord_wav_form& r, int entry) {
        r.ComboBox_Memory.set_index(entry == 0 ? 1 : 0);
        r.ComboBox_Memory.set_index(entry);
    }
    bool save(TRecord_wav_form& r, const fs::path& file) {
        dialogs.answers = {file.string()};
        r.Button_Stop_and_Save.click();
        return !r.Button_Stop_and_Save.enabled();
    }
};

TEST(RecorderConvert, ClampsRoundsHalvesToEven) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case { float in; int16_t out; };
    const Case cases[] = {{32000.0f, 32000}, {-32000.0f, -32000}, {40000.0f, 32000}, {-40000.0f, -32000},
                          {1.5f, 2},         {2.5f, 2},           {-2.5f, -2},        {0.5f, 0},
                          {-0.5f, 0},        {31999.5f, 32000},   {-31999.5f, -32000}, {31998.5f, 31998},
                          {nan, -32000},     {inf, 32000},        {-inf, -32000},     {1e-30f, 0}};
    for (const Case& c : cases) EXPECT_EQ(TRecord_wav_form::convert(c.in), c.out) << c.in;
}

TEST_F(Recorder, CreatedStateAndMemoryList) {
    Instance inst(kRecorder);
    auto& r = inst.as<TRecord_wav_form>();
    EXPECT_EQ(r.caption(), "Record wav");
    EXPECT_EQ(r.rec_bytes, 960000);
    EXPECT_EQ(r.rec_capacity, 480000);
    EXPECT_EQ(r.ComboBox_Memory.index(), 0);
    EXPECT_EQ(r.ComboBox_Memory.items().size(), 8u);
    EXPECT_EQ(r.ComboBox_Memory.items()[1], "Allocate 2MB  (10 sec on 48 kHz stereo)");
    EXPECT_TRUE(r.Button_Save.enabled());
    EXPECT_FALSE(r.Button_Pause.enabled());
    EXPECT_FALSE(r.Button_Stop_and_Save.enabled());
    EXPECT_EQ(r.Label1.caption(), "no signals");
    for (int e = 7; e >= 0; --e) {
        r.ComboBox_Memory.set_index(e);
        EXPECT_EQ(r.rec_bytes, TRecord_wav_form::kMemoryBytes[static_cast<size_t>(e)]);
        EXPECT_EQ(r.rec_capacity, r.rec_bytes / 2);
    }
    EXPECT_EQ(r.rec_bytes, 200000);
    // Recording passes the signal unchanged.
    r.Button_Save.click();
    auto buf = test::noise(960, 5, 50000.0f);
    const auto in = buf;
    inst.process(buf, 2);
    EXPECT_EQ(buf, in);
    EXPECT_EQ(r.rec_count.load(), 960);
    EXPECT_FALSE(r.ComboBox_Memory.enabled());
}

TEST_F(Recorder, CapacityEdgesAndFullMemoryStatus) {
    for (int ch : {1, 2}) {
        Instance inst(kRecorder);
        auto& r = inst.as<TRecord_wav_form>();
        choose_memory(r, 0);
        ASSERT_EQ(r.rec_capacity, 100000);
        r.Button_Save.click();
        std::vector<float> buf(static_cast<size_t>(120000));
        for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<float>(i % 30000);
        inst.process(buf, ch, 7);
        const int expected = ch == 1 ? 99998 : 99996;
        EXPECT_EQ(r.rec_count.load(), expected) << ch;
        EXPECT_EQ(r.rec_samples()[expected - 1], (expected - 1) % 30000) << ch;
        EXPECT_EQ(r.rec_samples()[expected], 0) << ch;
        EXPECT_EQ(r.recording.load(), 1);
        two_ticks(r, true);
        EXPECT_EQ(r.Gauge1.value(), 100);
        EXPECT_EQ(r.Label1.caption(), "Memory full: the take ends here. Stop and Save keeps it");
        // Saved, it holds exactly what fitted.
        ASSERT_TRUE(save(r, home / "full.wav"));
        EXPECT_EQ(fs::file_size(home / "full.wav"), 44u + 2u * static_cast<unsigned>(expected));
        two_ticks(r, true);
        EXPECT_EQ(r.Label1.caption(), std::string("Signals detected : ") + (ch == 1 ? "mono  " : "stereo  ") + "48000 kHz");
        EXPECT_EQ(r.Gauge1.value(), 0);
    }
}

TEST_F(Recorder, HeaderOfEmptyAndOfStereoTake) {
    Instance inst(kRecorder);
    auto& r = inst.as<TRecord_wav_form>();
    r.Button_Save.click();
    ASSERT_TRUE(save(r, home / "empty.wav"));
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].title, "Save wav file");
    const std::vector<uint8_t> empty = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                        16,  0,   0,   0,   1,  0, 1, 0, 0x80, 0xBB, 0, 0,  0x00, 0x77, 1, 0,
                                        2,   0,   16,  0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_EQ(test::read_file(home / "empty.wav"), empty);

    r.Button_Save.click();
    std::vector<float> buf = {1.0f, -1.0f, 300.5f, -32768.0f, 40000.0f, 2.5f};
    r.Record_wav(3, 44100, 2, buf.data());
    ASSERT_TRUE(save(r, home / "take.wav"));
    const std::vector<uint8_t> take = {'R', 'I', 'F', 'F', 48, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                       16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0,
                                       4, 0, 16, 0, 'd', 'a', 't', 'a', 12, 0, 0, 0,
                                       1, 0, 0xFF, 0xFF, 0x2C, 0x01, 0x00, 0x83, 0x00, 0x7D, 2, 0};
    EXPECT_EQ(test::read_file(home / "take.wav"), take);
    EXPECT_FALSE(fs::exists(home / "take.wav.part"));
    EXPECT_TRUE(r.Button_Save.enabled());
    EXPECT_FALSE(r.Button_Pause.enabled());
    EXPECT_TRUE(r.ComboBox_Memory.enabled());
    EXPECT_EQ(r.rec_count.load(), 0);
    EXPECT_TRUE(dialogs.said.empty());
}

TEST_F(Recorder, ButtonsRestartPauseAndCancelledSave) {
    Instance inst(kRecorder);
    auto& r = inst.as<TRecord_wav_form>();
    std::vector<float> buf(100, 9.0f);
    r.Button_Save.click();
    r.Record_wav(100, 48000, 1, buf.data());
    two_ticks(r, true);  // signals: "Start Recording" comes back during the take
    ASSERT_TRUE(r.Button_Save.enabled());
    r.Button_Save.click();
    EXPECT_EQ(r.rec_count.load(), 0);
    r.Record_wav(10, 48000, 1, buf.data());
    EXPECT_EQ(r.rec_count.load(), 10);

    r.Button_Pause.click();
    EXPECT_EQ(r.Button_Pause.caption(), "Continue");
    r.Record_wav(10, 48000, 1, buf.data());
    EXPECT_EQ(r.rec_count.load(), 10);
    r.Button_Pause.click();
    EXPECT_EQ(r.Button_Pause.caption(), "Pause");
    r.Record_wav(10, 48000, 1, buf.data());
    EXPECT_EQ(r.rec_count.load(), 20);

    // Cancelled: nothing written, the take stays and Pause resumes it.
    r.Button_Stop_and_Save.click();
    EXPECT_EQ(r.recording.load(), 0);
    EXPECT_EQ(r.rec_count.load(), 20);
    EXPECT_TRUE(r.Button_Stop_and_Save.enabled());
    r.Button_Pause.click();
    r.Record_wav(10, 48000, 1, buf.data());
    EXPECT_EQ(r.rec_count.load(), 30);
}

TEST_F(Recorder, EngineStoppingMidTakeKeepsStopAndSave) {
    Instance inst(kRecorder);
    auto& r = inst.as<TRecord_wav_form>();
    std::vector<float> buf(2 * 50, 123.0f);
    r.Button_Save.click();
    r.Record_wav(50, 48000, 2, buf.data());
    two_ticks(r, false);
    EXPECT_EQ(r.Label1.caption(), "no signals");
    EXPECT_EQ(r.recording.load(), 0);
    EXPECT_FALSE(r.Button_Save.enabled());
    EXPECT_FALSE(r.Button_Pause.enabled());
    EXPECT_TRUE(r.Button_Stop_and_Save.enabled());
    r.Record_wav(50, 48000, 2, buf.data());  // a late block is not recorded
    EXPECT_EQ(r.rec_count.load(), 100);
    ASSERT_TRUE(save(r, home / "kept.wav"));
    EXPECT_EQ(fs::file_size(home / "kept.wav"), 244u);

    // With nothing recorded, all three are off until signals return; then only Start comes back.
    r.Button_Save.click();
    two_ticks(r, false);
    EXPECT_FALSE(r.Button_Stop_and_Save.enabled());
    two_ticks(r, true);
    EXPECT_TRUE(r.Button_Save.enabled());
    EXPECT_FALSE(r.Button_Pause.enabled());

    // The timer runs when the program's loop lets 100 ms pass.
    r.Timer1.on_timer = [&r, n = 0]() mutable { r.Gauge1.set_value(++n); };
    advance_form_timers(60);
    EXPECT_EQ(r.Gauge1.value(), 0);
    advance_form_timers(60);
    EXPECT_EQ(r.Gauge1.value(), 1);
}

TEST_F(Recorder, FailedSaveKeepsTheTakeAndAnyEarlierFile) {
    Instance inst(kRecorder);
    auto& r = inst.as<TRecord_wav_form>();
    std::vector<float> buf(64, 77.0f);
    r.Button_Save.click();
    r.Record_wav(64, 48000, 1, buf.data());
    const std::vector<uint8_t> earlier = {'o', 'l', 'd'};
    test::write_file(home / "take.wav", earlier);
    // The temporary name is taken by a folder, which even root cannot open as a file.
    fs::create_directory(home / "take.wav.part");
    EXPECT_FALSE(save(r, home / "take.wav"));
    EXPECT_EQ(dialogs.said, (std::vector<std::string>{"warning: Error! Can NOT Rewrite Out wav"}));
    EXPECT_EQ(test::read_file(home / "take.wav"), earlier);
    EXPECT_EQ(r.rec_count.load(), 64);
    EXPECT_TRUE(r.Button_Stop_and_Save.enabled());
    EXPECT_TRUE(r.Button_Pause.enabled());
    EXPECT_FALSE(r.ComboBox_Memory.enabled());

    dialogs.said.clear();
    EXPECT_FALSE(save(r, home / "no such folder" / "take.wav"));
    EXPECT_EQ(dialogs.said, (std::vector<std::string>{"warning: Error! Can NOT Rewrite Out wav"}));
    dialogs.said.clear();
    EXPECT_FALSE(save(r, home));
    EXPECT_EQ(dialogs.said, (std::vector<std::string>{"warning: Error! Can NOT open Out wav"}));

    if (::geteuid() != 0) {
        const fs::path ro = home / "read-only";
        fs::create_directory(ro);
        fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(save(r, ro / "take.wav"));
        EXPECT_TRUE(fs::is_empty(ro));
        fs::permissions(ro, fs::perms::owner_all);
    }
    // Saved elsewhere, the take is whole.
    ASSERT_TRUE(save(r, home / "elsewhere.wav"));
    EXPECT_EQ(fs::file_size(home / "elsewhere.wav"), 44u + 128u);
}

TEST_F(Recorder, TakePlaysBackInThePlayer) {
    Instance rec(kRecorder);
    auto& r = rec.as<TRecord_wav_form>();
    r.Button_Save.click();
    auto take = test::noise(2 * 1000, 11, 40000.0f);
    auto pass = take;
    rec.process(pass, 2, 7);
    ASSERT_TRUE(save(r, home / "round.wav"));

    Instance play(kPlayer);
    auto& p = play.as<TReadWav>();
    p.wav_path = (home / "round.wav").string();
    p.SaveFilePlayBack();
    ASSERT_EQ(p.play_ready.load(), 1);
    EXPECT_EQ(p.frame_total, 1000);
    std::vector<float> out(2 * 1000, 0.0f);
    play.process(out, 2);
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], static_cast<float>(TRecord_wav_form::convert(take[i]))) << i;
}

// Every control at its extremes, mono and stereo: the signal passes untouched and the take holds
// only converted samples.
TEST_F(Recorder, PassesAnySignalUnchanged) {
    Instance inst(kRecorder);
    auto& r = inst.as<TRecord_wav_form>();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int ch : {1, 2}) {
        for (int entry : {0, 7}) {
            choose_memory(r, entry);
            r.Button_Save.click();
            auto buf = test::noise(2 * 480, 9, 1e6f);
            buf[3] = nan;
            const auto in = buf;
            inst.process(buf, ch);
            for (size_t i = 0; i < buf.size(); ++i)
                ASSERT_TRUE(std::bit_cast<uint32_t>(buf[i]) == std::bit_cast<uint32_t>(in[i])) << i;
            for (int i = 0; i < r.rec_count.load(); ++i) ASSERT_LE(std::abs(r.rec_samples()[i]), 32000);
            r.Button_Pause.click();
            r.Button_Pause.click();
            ASSERT_TRUE(save(r, home / "sweep.wav"));
        }
    }
}

}  // namespace
}  // namespace vx
