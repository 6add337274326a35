// The tuner: note naming, the detector on steady sines and plucked strings, the gate, the window's
// state (mute, reference, face.ini), and readings through the live path on the stepped clock.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/tuner.h"
#include "drivers/builtin_devices.h"
#include "drivers/tuner_tap.h"
#include "engine/effects.h"
#include "engine/ini.h"
#include "engine/program_folder.h"
#include "drivers/drivers.h"
#include "fake_services.h"
#include "sound_file.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kRate = 48000;

double note_hz(int midi, double a4 = 440.0) { return a4 * std::pow(2.0, (midi - 69) / 12.0); }

std::vector<float> sine(double hz, int32_t n, double amplitude = 8000.0, int32_t rate = kRate) {
    std::vector<float> s(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) s[i] = static_cast<float>(amplitude * std::sin(2.0 * kPi * hz * i / rate + 0.7));
    return s;
}

// A plucked string: a burst of noise circulating through a delay line and a two-point average,
// whose period is delay + 1/2 samples. Silence before the attack.
std::vector<float> pluck(int32_t delay, double seconds, int32_t silence_before, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> line(static_cast<size_t>(delay) + 1);
    for (double& v : line) v = noise(rng) * 12000.0;
    std::vector<float> out(static_cast<size_t>(silence_before), 0.0f);
    size_t p = 0;
    const size_t n = line.size();
    for (int32_t i = 0; i < seconds * kRate; ++i) {
        const double y = line[p];
        const double next = line[(p + 1) % n];
        line[p] = 0.996 * 0.5 * (y + next);
        p = (p + 1) % n;
        out.push_back(static_cast<float>(y));
    }
    return out;
}

TEST(TunerNames, NotesOctavesAndTheHeadlessLine) {
    const std::pair<int, const char*> names[] = {{28, "E1"}, {40, "E2"}, {45, "A2"}, {61, "C#4"}, {69, "A4"},
                                                 {70, "A#4"}, {88, "E6"}, {12, "C0"}, {11, "B-1"}};
    for (const auto& [midi, name] : names) EXPECT_EQ(note_name(midi), name) << midi;

    EXPECT_EQ(format_reading(name_pitch(note_hz(40) * std::pow(2.0, -3.0 / 1200), 440.0)),
              "tuner  E2   82.26 Hz   -3.0 cents");
    TunerReading r = name_pitch(440.0, 440.0);
    EXPECT_EQ(r.note, "A4");
    EXPECT_EQ(format_reading(r), "tuner  A4  440.00 Hz   +0.0 cents");
    r.cents = -0.04;  // rounds to zero: no "-0.0"
    EXPECT_EQ(format_reading(r), "tuner  A4  440.00 Hz   +0.0 cents");
    EXPECT_EQ(format_reading(name_pitch(1318.51, 440.0)), "tuner  E6  1318.51 Hz   +0.0 cents");
    // Half way between two notes goes to one of them, never beyond +-50.
    r = name_pitch(note_hz(69) * std::pow(2.0, 50.0 / 1200), 440.0);
    EXPECT_LE(std::fabs(r.cents), 50.0 + 1e-9);
    // The reference moves the names: 432 Hz is A4 for A4 = 432.
    r = name_pitch(432.0, 432.0);
    EXPECT_EQ(r.note, "A4");
    EXPECT_NEAR(r.cents, 0.0, 1e-9);
    EXPECT_NEAR(name_pitch(440.0, 432.0).cents, 1200.0 * std::log2(440.0 / 432.0), 1e-9);
    for (double bad : {0.0, -5.0, double(NAN), double(INFINITY)}) {
        EXPECT_FALSE(name_pitch(bad, 440.0).pitched) << bad;
        EXPECT_EQ(format_reading(name_pitch(bad, 440.0)), "tuner  --");
    }
}

// Steady sines from a bass's low E to E6, in tune and detuned: the right note, cents within +-1.
TEST(TunerDetector, SteadySinesReadTheRightNoteWithinOneCent) {
    for (int32_t rate : {48000, 44100, 22050}) {
        PitchDetector d(rate);
        double worst = 0.0;
        for (int midi : {28, 33, 40, 45, 50, 55, 59, 64, 69, 76, 83, 88}) {
            for (double detune : {-37.0, -7.0, 0.0, 7.0, 37.0}) {
                const double hz = note_hz(midi) * std::pow(2.0, detune / 1200.0);
                const std::vector<float> s = sine(hz, d.window(), 8000.0, rate);
                const TunerReading r = name_pitch(d.detect(s.data()), 440.0);
                ASSERT_TRUE(r.pitched) << rate << " Hz: " << hz;
                EXPECT_EQ(r.midi, midi) << rate << " Hz: " << hz;
                EXPECT_NEAR(r.cents, detune, 1.0) << rate << " Hz: " << hz;
                worst = std::max(worst, std::fabs(r.cents - detune));
            }
        }
        std::printf("sine table at %d Hz: worst error %.2f cents\n", rate, worst);
    }
}

TEST(TunerDetector, NothingOnSilenceQuietNoiseOrLoudNoise) {
    PitchDetector d(kRate);
    std::vector<float> s(static_cast<size_t>(d.window()), 0.0f);
    EXPECT_EQ(d.detect(s.data()), 0.0);
    std::mt19937 rng(3);
    // Hiss well below the gate, and loud white noise, which has no period.
    for (double amplitude : {5.0, 8000.0}) {
        std::normal_distribution<double> noise(0.0, amplitude);
        for (float& v : s) v = static_cast<float>(noise(rng));
        EXPECT_EQ(d.detect(s.data()), 0.0) << amplitude;
    }
    // A tone below the gate is not read either; the same tone above it is.
    EXPECT_EQ(d.detect(sine(110.0, d.window(), 20.0).data()), 0.0);
    EXPECT_NEAR(d.detect(sine(110.0, d.window(), 200.0).data()), 110.0, 0.1);
    // Samples that are not finite count as silence.
    for (float& v : s) v = NAN;
    EXPECT_EQ(d.detect(s.data()), 0.0);
}

// Plucked open strings: the first right reading after the attack, every 10 ms of signal as a tuner
// polling often would see it, and the readings through two seconds of sustain.
TEST(TunerDetector, PluckedStringsReadQuicklyAndStayWithinThreeCents) {
    PitchDetector d(kRate);
    const int32_t hop = kRate / 100;
    double slowest_ms = 0.0, worst_cents = 0.0;
    for (int midi : {40, 45, 50, 55, 59, 64}) {
        const int32_t delay = static_cast<int32_t>(std::lround(kRate / note_hz(midi) - 0.5));
        const double truth = kRate / (delay + 0.5);
        const int32_t before = d.window();
        const std::vector<float> s = pluck(delay, 2.2, before, static_cast<uint32_t>(midi));
        double first_ms = -1.0;
        for (int32_t end = before + hop; end + 0 <= static_cast<int32_t>(s.size()); end += hop) {
            const double ms = 1000.0 * (end - before) / kRate;
            const TunerReading r = name_pitch(d.detect(&s[static_cast<size_t>(end - d.window())]), 440.0);
            if (first_ms < 0.0 && r.pitched && r.midi == midi) first_ms = ms;
            if (first_ms < 0.0 || ms < 150.0) continue;
            // Through the sustain every reading is the string's pitch.
            ASSERT_TRUE(r.pitched) << midi << " at " << ms << " ms";
            EXPECT_EQ(r.midi, midi) << midi << " at " << ms << " ms";
            const double err = 1200.0 * std::log2(r.hz / truth);
            EXPECT_NEAR(err, 0.0, 3.0) << midi << " at " << ms << " ms";
            worst_cents = std::max(worst_cents, std::fabs(err));
        }
        ASSERT_GE(first_ms, 0.0) << midi;
        EXPECT_LE(first_ms, 150.0) << midi;
        std::printf("  %s: first right note %.0f ms after the attack\n", note_name(midi).c_str(), first_ms);
        slowest_ms = std::max(slowest_ms, first_ms);
    }
    std::printf("plucked strings: first right note after %.0f ms at most, worst %.2f cents in the sustain\n",
                slowest_ms, worst_cents);
}

// --- the window's state ----------------------------------------------------------------------

class TunerWindow : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() / ("vx-tuner-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(home);
        set_output_mute(false);
    }
    void TearDown() override {
        set_output_mute(false);
        set_settings_read_only(false);
        fs::remove_all(home);
    }
    void feed(const std::vector<float>& s) {
        for (size_t i = 0; i + 480 <= s.size(); i += 480) tap.push(&s[i], 480, 1, kRate);
    }
    fs::path home;
    InputTap tap;
};

TEST_F(TunerWindow, ReadsTheTapAndNamesFromTheReference) {
    TTuner_form t(home, tap);
    t.update();
    EXPECT_EQ(t.Label_Note.caption(), "--");
    feed(sine(110.0 * std::pow(2.0, 7.0 / 1200), 9600));
    t.update();
    EXPECT_EQ(t.Label_Note.caption(), "A2");
    EXPECT_EQ(t.Label_Frequency.caption(), "110.45 Hz");
    EXPECT_EQ(t.Label_Cents.caption(), "+7.0 cents");
    EXPECT_FALSE(t.in_tune());
    // A lower reference: the same string now reads sharper, at once.
    t.TrackBar_Reference.set_position(430);
    EXPECT_EQ(t.TrackBar_Reference.label, "A4 = 430 Hz");
    EXPECT_EQ(t.Label_Cents.caption(), "+46.8 cents");
    t.TrackBar_Reference.set_position(440);
    feed(sine(110.0 * std::pow(2.0, 1.5 / 1200), 9600));
    t.update();
    EXPECT_TRUE(t.in_tune());
    // Stereo blocks are heard as their mean.
    std::vector<float> st;
    for (float v : sine(note_hz(64), 9600)) {
        st.push_back(v);
        st.push_back(v);
    }
    for (size_t i = 0; i + 960 <= st.size(); i += 960) tap.push(&st[i], 480, 2, kRate);
    t.update();
    EXPECT_EQ(t.Label_Note.caption(), "E4");
    feed(std::vector<float>(9600, 0.0f));
    t.update();
    EXPECT_EQ(t.Label_Note.caption(), "--");
    EXPECT_EQ(t.Label_Frequency.caption(), "");
}

TEST_F(TunerWindow, MutesTheOutputExactlyWhileShownWithTheBoxChecked) {
    auto t = std::make_unique<TTuner_form>(home, tap);
    EXPECT_TRUE(t->CheckBox_Mute.checked());
    EXPECT_FALSE(output_muted());
    t->show();
    EXPECT_TRUE(output_muted());
    t->CheckBox_Mute.set_checked(false);
    EXPECT_FALSE(output_muted());
    t->CheckBox_Mute.set_checked(true);
    EXPECT_TRUE(output_muted());
    t->close();
    EXPECT_FALSE(output_muted());
    // Unchecked, showing it leaves the sound on.
    t->CheckBox_Mute.set_checked(false);
    t->show();
    EXPECT_FALSE(output_muted());
    t->CheckBox_Mute.set_checked(true);
    EXPECT_TRUE(output_muted());
    // A window destroyed while shown gives the sound back too.
    t.reset();
    EXPECT_FALSE(output_muted());
}

TEST_F(TunerWindow, TheReferenceIsKeptInFaceIni) {
    {
        IniFile ini((home / "face.ini").string());
        ini.write_int("Wave Devices", "latency", 20);
        ini.write_int("Tuner", "Reference", 999);  // out of range: clamped
        ASSERT_EQ(ini.save(), "");
    }
    {
        TTuner_form t(home, tap);
        EXPECT_EQ(t.TrackBar_Reference.position(), 450);
        t.show();
        t.TrackBar_Reference.set_position(432);
        t.close();
    }
    EXPECT_EQ(IniFile((home / "face.ini").string()).read_int("Tuner", "Reference", 0), 432);
    EXPECT_EQ(IniFile((home / "face.ini").string()).read_int("Wave Devices", "latency", 0), 20);
    TTuner_form again(home, tap);
    EXPECT_EQ(again.TrackBar_Reference.position(), 432);
    EXPECT_EQ(again.TrackBar_Reference.label, "A4 = 432 Hz");
    // The tools leave the settings alone.
    set_settings_read_only(true);
    again.TrackBar_Reference.set_position(445);
    again.show();
    again.close();
    EXPECT_EQ(IniFile((home / "face.ini").string()).read_int("Tuner", "Reference", 0), 432);
}

// --- the live path: "WAV file input" on the stepped clock, the main window's Tuner button ------

void write_wav(const fs::path& p, const std::vector<float>& s, int32_t rate) {
    std::vector<short> pcm;
    for (float v : s) pcm.push_back(static_cast<short>(std::lround(v)));
    ASSERT_TRUE(test::write_sound_file(p.string(), rate, 1, pcm));
}

class TunerLive : public TunerWindow {
protected:
    void SetUp() override {
        TunerWindow::SetUp();
        effects_startup();
        waves_startup();
        dsound_startup();
        unit1_startup();
        set_builtin_clock_manual(true);
    }
    void TearDown() override {
        form.reset();
        drivers.reset();
        set_builtin_clock_manual(false);
        effects_startup();
        waves_startup();
        dsound_startup();
        unit1_startup();
        TunerWindow::TearDown();
    }
    void make_form() {
        drivers = std::make_unique<LibraryDrivers>((home / "temp" / "live-output.wav").string());
        form = std::make_unique<TForm1>(services, *drivers, home);
        form->show();
    }
    bool choose(Selector& sel, const std::string& name) {
        for (size_t i = 0; i < sel.items().size(); ++i)
            if (sel.items()[i] == name) {
                sel.set_index(static_cast<int>(i));
                return true;
            }
        return false;
    }
    // 100 ms of the devices' clock, then the main window's timer.
    void tick() {
        step_builtin_clock(std::chrono::milliseconds(100));
        form->Timer1Timer();
    }
    test::FakeServices services;
    std::unique_ptr<LibraryDrivers> drivers;
    std::unique_ptr<TForm1> form;
};

TEST_F(TunerLive, ReadsAWavFilePlayedAsTheInputAndMutesTheOutputWhileOpen) {
    // A string 7 cents flat at 44100 Hz: the device brings it to the engine's rate.
    const double hz = note_hz(45) * std::pow(2.0, -7.0 / 1200);
    const fs::path wav = home / "A2 flat.wav";
    write_wav(wav, sine(hz, 2 * 44100, 8000.0, 44100), 44100);  // no loop seam in the readings
    make_form();
    services.open_answers.push_back(wav.string());
    ASSERT_TRUE(choose(form->ComboBox_waveIn, kWavInputName));
    ASSERT_EQ(services.open_dialogs.size(), 1u);
    EXPECT_EQ(drivers->wav_input_path(), wav.string());
    ASSERT_TRUE(choose(form->ComboBox_waveOut, kNullOutputName));
    // Effects in the rack do not change what the tuner hears.
    form->slot(1).kind.set_index(13);
    form->slot(1).onoff.set_checked(true);
    form->BitBtn_Init.click();
    ASSERT_TRUE(form->BitBtn_Reset.enabled()) << (services.messages.empty() ? "" : services.messages.back().text);
    tick();
    tick();
    EXPECT_GT(form->ProgressBar_outlevel.value(), 0);

    form->BitBtn_Tuner.click();
    TTuner_form& t = form->tuner();
    ASSERT_TRUE(t.visible());
    for (int i = 0; i < 5; ++i) {
        tick();
        t.update();
        EXPECT_EQ(format_reading(t.reading()), "tuner  A2  109.56 Hz   -7.0 cents");
    }
    // Muted while open (the meter falls 20 dB each half second); the input still reaches the
    // meters and the tuner.
    for (int i = 0; i < 30; ++i) tick();
    EXPECT_EQ(form->ProgressBar_outlevel.value(), 0);
    EXPECT_GT(form->ProgressBar_inlevel.value(), 0);
    t.close();
    tick();
    tick();
    EXPECT_GT(form->ProgressBar_outlevel.value(), 0);
    // Stopped, the tuner has nothing to read.
    form->BitBtn_Reset.click();
    t.update();
    EXPECT_EQ(format_reading(t.reading()), "tuner  --");
}

TEST_F(TunerLive, WithoutAFileTheWavInputDoesNotStartAndSaysWhy) {
    make_form();
    ASSERT_TRUE(choose(form->ComboBox_waveIn, kWavInputName));  // the dialog is cancelled
    ASSERT_TRUE(choose(form->ComboBox_waveOut, kNullOutputName));
    form->BitBtn_Init.click();
    EXPECT_FALSE(form->BitBtn_Reset.enabled());
    ASSERT_FALSE(services.messages.empty());
    EXPECT_NE(services.messages.back().text.find("no file chosen"), std::string::npos) << services.messages.back().text;
    // A file that is not audio is refused the same way.
    const fs::path junk = home / "junk.wav";
    { std::FILE* f = std::fopen(junk.c_str(), "wb"); std::fputs("RIFF junk", f); std::fclose(f); }
    drivers->set_wav_input_path(junk.string());
    form->BitBtn_Init.click();
    EXPECT_FALSE(form->BitBtn_Reset.enabled());
    EXPECT_NE(services.messages.back().text.find(junk.string()), std::string::npos) << services.messages.back().text;
}

}  // namespace
}  // namespace vx
