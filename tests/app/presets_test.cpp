// FX chain files on the headless main window: save and load through the rack, the old numbering of
// the kinds, the buttons and their dialogs, the presets selector and the F-keys.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "delays.h"
#include "fx_helpers.h"
#include "gain_form.h"
#include "noise_gates.h"
#include "program_fixture.h"

namespace vx {
namespace {

using test::kDelayKind;
using test::kGainKind;
using test::kNoiseGate;
using test::kWah;
using Presets = test::ProgramFolder;
namespace fs = std::filesystem;

constexpr const char* kEntry0 = "PRESETS (Click to refresh list)";
constexpr const char* kEntry1 = "Download From Internet";

// Runs one block of test noise through the runner as the capture thread would.
std::vector<float> one_block(uint32_t seed) {
    std::vector<float> b = test::noise(2 * 480, seed, 6000.0f);
    ChainRunner(480, 48000, 2, b.data());
    return b;
}

TEST_F(Presets, SaveThenLoadRestoresKindsOnOffSettingsAndTheSound) {
    open();
    s(1).kind.set_index(kNoiseGate);
    s(1).onoff.set_checked(true);
    fx<Tnoise_gate_form>(1).ScrollBar_Porog_Max.set_position(30);
    fx<Tnoise_gate_form>(1).ScrollBar_Supress.set_position(90);
    s(3).kind.set_index(kDelayKind);  // off
    fx<TDelay_form>(3).ScrollBar_Delay_Time.set_position(2);
    fx<TDelay_form>(3).CheckRadioBox_Small_Flanger.set_checked(true);
    s(4).onoff.set_checked(true);  // empty, but on
    s(16).kind.set_index(kGainKind);
    s(16).onoff.set_checked(true);
    fx<Tgain_form>(16).ScrollBar_Gain_Left.set_position(80);
    fx<Tgain_form>(16).CheckRadioBox_Air.set_checked(false);
    // What the rack sounds like, from instances that have processed nothing yet.
    const std::vector<float> before = one_block(7);
    const fs::path file = presets() / "mine.pre";
    ASSERT_TRUE(form->save_chain_file(file.string()));
    EXPECT_TRUE(services.messages.empty());

    // Everything changed, then loaded again.
    s(1).kind.set_index(kWah);
    s(1).onoff.set_checked(false);
    s(3).kind.set_index(0);
    s(4).onoff.set_checked(false);
    fx<Tgain_form>(16).ScrollBar_Gain_Left.set_position(10);
    s(7).kind.set_index(kDelayKind);
    form->load_chain_file(file.string());

    EXPECT_EQ(kinds(), rack_of({kNoiseGate, 0, kDelayKind, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, kGainKind}));
    const std::vector<std::string> onoff = {"On", "Off", "Off", "On", "Off", "Off", "Off", "Off",
                                            "Off", "Off", "Off", "Off", "Off", "Off", "Off", "On"};
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(s(n).onoff.caption(), onoff[n - 1]) << n;
        EXPECT_EQ(form->rack_table().enabled[n - 1], onoff[n - 1] == "On" ? 1 : 0) << n;
        EXPECT_EQ(s(n).kind.index(), form->rack_table().kind[n - 1]) << n;
    }
    EXPECT_EQ(fx<Tnoise_gate_form>(1).ScrollBar_Porog_Max.position(), 30);
    EXPECT_EQ(fx<Tnoise_gate_form>(1).ScrollBar_Supress.position(), 90);
    EXPECT_EQ(fx<TDelay_form>(3).ScrollBar_Delay_Time.position(), 2);
    EXPECT_TRUE(fx<TDelay_form>(3).CheckRadioBox_Small_Flanger.checked());
    EXPECT_EQ(fx<Tgain_form>(16).ScrollBar_Gain_Left.position(), 80);
    EXPECT_FALSE(fx<Tgain_form>(16).CheckRadioBox_Air.checked());
    EXPECT_EQ(form->last_chain_file(), file.string());

    // The runner walks the same chain and it sounds the same.
    const ChainTable r = runner_table_snapshot();
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(r.instance[i], form->rack_table().instance[i]) << i;
        EXPECT_EQ(r.enabled[i], form->rack_table().enabled[i]) << i;
        EXPECT_EQ(r.kind[i], form->rack_table().kind[i]) << i;
    }
    EXPECT_EQ(load_gate.load(), 1);
    EXPECT_EQ(rack_gate.load(), 1);
    EXPECT_EQ(one_block(7), before);
    EXPECT_TRUE(services.messages.empty()) << "loading is silent";
}

TEST_F(Presets, SavedBytesFollowTheRecordAndKeepWhatTheLastLoadRead) {
    // A loaded file whose unused fields carry marks: the reserved word, slot 20, words 73..100.
    ChainFile loaded;
    loaded.reserved = 0x1234;
    loaded.version = 303;
    loaded.kind[19] = 5;
    loaded.onoff[19] = 1;
    loaded.blocks[0][80] = -77;
    loaded.blocks[19][3] = 99;
    ASSERT_EQ(write_chain_file((presets() / "marks.pre").string(), loaded), "");
    open();
    const fs::path fresh = presets() / "fresh.pre";
    s(1).kind.set_index(kGainKind);
    s(1).onoff.set_checked(true);
    ASSERT_TRUE(form->save_chain_file(fresh.string()));  // nothing loaded yet: zeros
    std::vector<uint8_t> b = test::slurp(fresh);
    ASSERT_EQ(b.size(), 13188u);
    EXPECT_EQ(b[0] | b[1] << 8, 0);
    EXPECT_EQ(b[2] | b[3] << 8, 303);

    form->load_chain_file((presets() / "marks.pre").string());
    s(1).kind.set_index(kGainKind);
    s(1).onoff.set_checked(true);
    fx<Tgain_form>(1).ScrollBar_Gain_Left.set_position(70);
    s(2).onoff.set_checked(true);  // empty, on
    ASSERT_TRUE(form->save_chain_file(fresh.string()));
    b = test::slurp(fresh);
    auto word = [&](size_t at) {
        return static_cast<int32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24);
    };
    EXPECT_EQ(b[0] | b[1] << 8, 0x1234);
    EXPECT_EQ(word(4), kGainKind);
    EXPECT_EQ(word(4 + 4), 0);
    EXPECT_EQ(word(132), 1);
    EXPECT_EQ(word(132 + 4), 1);
    EXPECT_EQ(word(4 + 4 * 19), 5) << "slot 20 as loaded";
    EXPECT_EQ(word(132 + 4 * 19), 1);
    EXPECT_EQ(word(260 + 404 * 19 + 4 * 3), 99);
    EXPECT_EQ(word(260 + 4 * 80), -77) << "word 80 as loaded";
    // Words 0..72 of slot 1 are the Gain's own; the empty slot 2 repeats them.
    test::Instance gain(kGainKind);
    gain.as<Tgain_form>().ScrollBar_Gain_Left.set_position(70);
    const ParameterBlock expected = gain.get();
    for (int w = 0; w < 73; ++w) {
        EXPECT_EQ(word(260 + 4 * w), expected[w]) << w;
        EXPECT_EQ(word(260 + 404 + 4 * w), expected[w]) << w;
    }
}

TEST_F(Presets, OldVersionsRenumberTheKindsAndStrangeKindsLeaveTheSlotEmpty) {
    struct Case {
        int16_t version;
        int32_t stored;
        EffectKind loaded;
    };
    const Case cases[] = {
        {302, 1, kGainKind}, {303, 1, kNoiseGate}, {302, 13, kNoiseGate}, {302, 9, kDelayKind},
        {-5, 1, kGainKind},  // a negative version is older too
        {303, 99, 0},        {303, -1, 0},          {302, 14, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + ", kind " + std::to_string(c.stored));
        TearDown();
        SetUp();
        const fs::path p = write_preset("old.pre", {c.stored, kGainKind}, c.version);
        open();
        services.messages.clear();
        form->load_chain_file(p.string());
        EXPECT_EQ(form->rack_table().kind[0], c.loaded);
        EXPECT_EQ(s(1).kind.index(), c.loaded);
        EXPECT_EQ(s(1).onoff.caption(), "On");
        EXPECT_EQ(form->rack_table().kind[1], c.version < 303 ? map_old_kind(kGainKind) : kGainKind);
        // A kind that names nothing is said, not hidden behind an empty slot.
        const std::vector<std::string> said =
            c.loaded == 0 ? std::vector<std::string>{"slot 1: unknown effect kind " + std::to_string(c.stored) +
                                                     ", left empty"}
                          : std::vector<std::string>{};
        EXPECT_EQ(services.texts(), said);
    }
}

// Short files, missing ones, folders and FIFOs are not applied, the user is told, and the presets
// list goes back to the file that is loaded. A FIFO is refused at once rather than waited on.
TEST_F(Presets, FilesThatAreNotChainFilesChangeNothingAndSaySo) {
    const fs::path good = write_preset("good.pre", {kGainKind});
    std::vector<uint8_t> bytes = test::slurp(good);
    { std::ofstream(presets() / "short.pre", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 13187); }
    ASSERT_EQ(::mkfifo((presets() / "pipe.pre").c_str(), 0600), 0);
    fs::create_directories(presets() / "folder.pre");
    open();
    const auto entry = [&](const std::string& name) {
        const auto& items = form->ComboBox_PRESETS.items();
        return static_cast<int>(std::find(items.begin(), items.end(), name) - items.begin());
    };
    Selector* list = &form->ComboBox_PRESETS;
    list->set_index(entry("good.pre"));
    EffectInstance gain = inst(1);
    ASSERT_EQ(form->rack_table().kind[0], kGainKind);
    for (const char* name : {"short.pre", "pipe.pre", "folder.pre", "missing.pre"}) {
        SCOPED_TRACE(name);
        services.messages.clear();
        if (entry(name) < static_cast<int>(list->items().size()))
            list->set_index(entry(name));
        else
            form->load_chain_file((presets() / name).string());
        EXPECT_EQ(services.texts(), std::vector<std::string>{std::string("not a Varnomix preset: ") + name});
        EXPECT_EQ(inst(1), gain);
        EXPECT_EQ(form->last_chain_file(), good.string());
        EXPECT_EQ(list->text(), "good.pre");
    }
    // Nothing loaded yet: the list goes back to its first entry.
    close_and_end();
    fs::remove(home / "face.ini");
    open();
    list = &form->ComboBox_PRESETS;
    list->set_index(entry("short.pre"));
    EXPECT_EQ(list->index(), 0);
    EXPECT_EQ(form->last_chain_file(), "");
}

TEST_F(Presets, SaveButtonAddsThePreSuffixAsTheDialogAnswerNeedsIt) {
    open();
    s(1).kind.set_index(kGainKind);
    struct Case {
        const char* answer;
        const char* written;
    };
    const Case cases[] = {{"live", "live.pre"}, {"A.PRE", "A.PRE.pre"}, {"my.preset.pre", "my.preset.pre.pre"},
                          {"crunch.pre", "crunch.pre"}};
    bool waiting = false;
    services.while_dialog_open = [&] {
        waiting = form->spSkinButton17.caption() == "Wait..." && !form->spSkinButton17.enabled();
    };
    for (const Case& c : cases) {
        services.save_answers.push_back((presets() / c.answer).string());
        waiting = false;
        form->spSkinButton17.click();
        EXPECT_TRUE(waiting) << c.answer;
        EXPECT_TRUE(fs::exists(presets() / c.written)) << c.answer;
        EXPECT_EQ(form->spSkinButton17.caption(), "Save FX chain");
        EXPECT_TRUE(form->spSkinButton17.enabled());
    }
    ASSERT_FALSE(services.save_dialogs.empty());
    const Services::FileDialog& d = services.save_dialogs.back();
    EXPECT_EQ(d.caption, "Save file");
    EXPECT_EQ(d.folder, presets().string());
    EXPECT_EQ(d.filters, std::vector<std::string>{"Presets (*.pre)"});
    EXPECT_EQ(d.default_suffix, "");
    EXPECT_FALSE(fs::exists(presets() / "A.PRE"));

    // Cancelled: nothing written, the button back as it was.
    const size_t files = std::distance(fs::directory_iterator(presets()), fs::directory_iterator());
    form->spSkinButton17.click();
    EXPECT_EQ(std::distance(fs::directory_iterator(presets()), fs::directory_iterator()), static_cast<long>(files));
    EXPECT_EQ(form->spSkinButton17.caption(), "Save FX chain");
    EXPECT_TRUE(services.messages.empty());
}

// The dialog cannot ask about the name the ".pre" rule makes: the window asks, before replacing a
// file, whichever way the name was typed, and a "No" leaves the file as it was.
TEST_F(Presets, SaveAsksBeforeReplacingAFile) {
    const fs::path lead = write_preset("My Lead.pre", {kDelayKind});
    const std::vector<uint8_t> before = test::slurp(lead);
    open();
    s(1).kind.set_index(kGainKind);
    const std::string question = "My Lead.pre already exists. Do you want to replace it?";
    for (const char* typed : {"My Lead", "My Lead.pre"}) {
        SCOPED_TRACE(typed);
        services.questions.clear();
        services.save_answers.push_back((presets() / typed).string());
        services.confirm_answers.push_back(false);
        form->spSkinButton17.click();
        EXPECT_EQ(services.questions, std::vector<std::string>{question});
        EXPECT_EQ(test::slurp(lead), before);
        EXPECT_FALSE(services.save_dialogs.back().confirm_overwrite);
    }
    services.questions.clear();
    services.save_answers.push_back((presets() / "My Lead").string());
    services.confirm_answers.push_back(true);
    form->spSkinButton17.click();
    EXPECT_EQ(services.questions.size(), 1u);
    EXPECT_NE(test::slurp(lead), before);
    // A new name is saved without a question.
    services.questions.clear();
    services.save_answers.push_back((presets() / "Fresh").string());
    form->spSkinButton17.click();
    EXPECT_TRUE(services.questions.empty());
    EXPECT_TRUE(fs::exists(presets() / "Fresh.pre"));
}

TEST_F(Presets, LoadButtonAlwaysTellsOfTheFKeys) {
    const fs::path p = write_preset("delay.pre", {kDelayKind});
    open();
    bool waiting = false;
    services.while_dialog_open = [&] {
        waiting = form->spSkinButton18.caption() == "Wait..." && !form->spSkinButton18.enabled();
    };
    form->spSkinButton18.click();  // cancelled
    EXPECT_TRUE(waiting);
    EXPECT_EQ(form->rack_table().kind[0], 0);
    EXPECT_EQ(services.texts(), std::vector<std::string>{"Fast FX chain load: press F1 .. F12."});
    EXPECT_FALSE(services.messages[0].warning);
    services.open_answers.push_back(p.string());
    form->spSkinButton18.click();
    EXPECT_EQ(form->rack_table().kind[0], kDelayKind);
    EXPECT_EQ(services.messages.size(), 2u);
    EXPECT_EQ(form->spSkinButton18.caption(), "Load FX chain");
    EXPECT_TRUE(form->spSkinButton18.enabled());
    const Services::FileDialog& d = services.open_dialogs.back();
    EXPECT_EQ(d.caption, "Open file");
    EXPECT_EQ(d.folder, presets().string());
    EXPECT_EQ(d.filters, std::vector<std::string>{"Presets (*.pre)"});
}

TEST_F(Presets, SelectorListsLoadsAndRefreshes) {
    write_preset("b crunch.pre", {kGainKind});
    write_preset("A clean.pre", {kDelayKind});
    write_preset("notes.txt", {kDelayKind});
    fs::create_directories(presets() / "folder.pre");
    open();
    Selector& p = form->ComboBox_PRESETS;
    EXPECT_EQ(p.items(), (std::vector<std::string>{kEntry0, kEntry1, "A clean.pre", "b crunch.pre"}));
    EXPECT_EQ(p.index(), 0);

    p.set_index(3);
    EXPECT_EQ(form->rack_table().kind[0], kGainKind);
    EXPECT_EQ(form->last_chain_file(), (presets() / "b crunch.pre").string());
    // The one shown is not loaded again.
    fx<Tgain_form>(1).ScrollBar_Gain_Left.set_position(95);
    p.set_index(3);
    EXPECT_EQ(fx<Tgain_form>(1).ScrollBar_Gain_Left.position(), 95);

    // Entry 1 shows the folder where downloaded presets go; entry 0 reads it again and loads nothing.
    p.set_index(1);
    EXPECT_EQ(services.folders, std::vector<std::string>{presets().string()});
    EXPECT_TRUE(services.urls.empty());
    write_preset("C lead.pre", {kWah});
    p.set_index(0);
    EXPECT_EQ(p.items(), (std::vector<std::string>{kEntry0, kEntry1, "A clean.pre", "b crunch.pre", "C lead.pre"}));
    EXPECT_EQ(p.index(), 0);
    EXPECT_EQ(p.text(), kEntry0);
    EXPECT_EQ(fx<Tgain_form>(1).ScrollBar_Gain_Left.position(), 95);
    EXPECT_EQ(services.folders.size(), 1u);
    p.set_index(4);
    EXPECT_EQ(form->rack_table().kind[0], kWah);
}

TEST_F(Presets, FKeysLoadByPrefix) {
    write_preset("F1 - Clean.pre", {kDelayKind});
    write_preset("F10 Lead.pre", {kGainKind});
    write_preset("f3 funk.pre", {kWah});  // any case
    write_preset("F12.pre", {kNoiseGate});
    open();
    struct Case {
        int key;
        EffectKind loaded;  // slot 1 afterwards; -1: as before
    };
    const Case cases[] = {{10, kGainKind}, {1, kDelayKind}, {3, kWah}, {12, kNoiseGate}, {2, -1}, {0, -1}, {13, -1}};
    for (const Case& c : cases) {
        const EffectKind before = form->rack_table().kind[0];
        form->FormKeyUp(c.key);
        EXPECT_EQ(form->rack_table().kind[0], c.loaded < 0 ? before : c.loaded) << "F" << c.key;
    }
    // The key of the preset shown does not load it again.
    form->FormKeyUp(1);
    fx<TDelay_form>(1).ScrollBar_Delay_Time.set_position(3);
    form->FormKeyUp(1);
    EXPECT_EQ(fx<TDelay_form>(1).ScrollBar_Delay_Time.position(), 3);
    EXPECT_EQ(form->ComboBox_PRESETS.text(), "F1 - Clean.pre");

    // A file that came after the list was read: the selection is cleared and nothing loads.
    write_preset("F5 new.pre", {kGainKind});
    form->FormKeyUp(5);
    EXPECT_EQ(form->ComboBox_PRESETS.index(), -1);
    EXPECT_EQ(form->rack_table().kind[0], kDelayKind);
    EXPECT_TRUE(services.messages.empty());
}

TEST_F(Presets, OnlyF1sOwnFilesAnswerF1) {
    write_preset("F10 Lead.pre", {kGainKind});
    write_preset("F1.pre", {kDelayKind});  // no blank after F1
    open();
    form->FormKeyUp(1);
    EXPECT_EQ(form->rack_table().kind[0], 0);
}

TEST_F(Presets, FailedSaveWarnsAndLeavesNoTruncatedFile) {
    open();
    s(1).kind.set_index(kGainKind);
    const fs::path kept = presets() / "kept.pre";
    ASSERT_TRUE(form->save_chain_file(kept.string()));
    const std::vector<uint8_t> good = test::slurp(kept);
    fx<Tgain_form>(1).ScrollBar_Gain_Left.set_position(5);

    // The file system refuses the bytes beyond 4096: SIGXFSZ ignored, the write fails part way.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = form->save_chain_file(kept.string());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(saved);
    EXPECT_EQ(test::slurp(kept), good) << "the earlier file is untouched";

    const std::string no_folder = (home / "gone" / "x.pre").string();
    EXPECT_FALSE(form->save_chain_file(no_folder));
    EXPECT_FALSE(fs::exists(no_folder));
    const std::string long_path = (presets() / (std::string(260, 'a') + ".pre")).string();
    EXPECT_FALSE(form->save_chain_file(long_path));

    ASSERT_EQ(services.messages.size(), 3u);
    for (const auto& [warning, text] : services.messages) EXPECT_TRUE(warning) << text;
    EXPECT_NE(services.messages[0].text.find(kept.string()), std::string::npos) << services.messages[0].text;
    EXPECT_NE(services.messages[1].text.find(no_folder), std::string::npos) << services.messages[1].text;
    EXPECT_NE(services.messages[2].text.find("255"), std::string::npos) << services.messages[2].text;
    // Only the good file is left: no temporary, no half-written one.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(presets())) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"kept.pre"});
}

// The capture thread keeps processing while chain files are loaded over and over: a block is never
// processed by an instance that is being replaced (the sanitizers watch the memory).
// Every available kind, so that each kind added later is loaded under audio too.
TEST_F(Presets, LoadsWhileTheAudioThreadRuns) {
    std::vector<EffectKind> every;
    for (EffectKind k = 1; k < kKindCount; ++k)
        if (kind_available(k)) every.push_back(k);
    ASSERT_GE(every.size(), 4u);
    std::vector<EffectKind> other(every.rbegin(), every.rend());
    other.insert(other.begin() + 1, 0);
    const fs::path a = write_preset("a.pre", every);
    const fs::path b = write_preset("b.pre", other);
    open();
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0}, nonfinite{0};
    std::thread audio([&] {
        std::vector<float> buf = test::noise(2 * 128, 3, 3000.0f);
        while (!stop.load()) {
            ChainRunner(128, 48000, 2, buf.data());
            for (float& x : buf) {
                if (!std::isfinite(x)) nonfinite.fetch_add(1);
                x = std::isfinite(x) ? x * 0.5f + 100.0f : 0.0f;
            }
            blocks.fetch_add(1);
        }
    });
    while (blocks.load() == 0) std::this_thread::yield();
    for (int i = 0; i < 40; ++i) form->load_chain_file((i % 2 ? a : b).string());
    const int during = blocks.load();
    while (blocks.load() < during + 10) std::this_thread::yield();  // and it goes on afterwards
    stop = true;
    audio.join();
    EXPECT_EQ(kinds(), rack_of(every));
    EXPECT_EQ(nonfinite.load(), 0);
    EXPECT_EQ(load_gate.load(), 1);
}

// The audio thread of a switch test: a real second thread that runs one 128-frame block each time
// the user-interface thread asks, and waits for the answer, so that what a block meets does not
// depend on timing.
class LockstepAudio {
public:
    LockstepAudio() : thread_([this] { run(); }) {}
    ~LockstepAudio() {
        {
            std::lock_guard<std::mutex> l(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void block() {
        std::unique_lock<std::mutex> l(m_);
        ++asked_;
        cv_.notify_all();
        cv_.wait(l, [&] { return done_ == asked_; });
    }
    // Called by the effects on the audio thread.
    void reached(EffectInstance inst) { walk_.push_back(inst); }

    struct Tally {
        int processed = 0, refused = 0;
        std::vector<std::vector<EffectInstance>> walks;  // per processed block, the instances reached
    };
    Tally take() {
        std::lock_guard<std::mutex> l(m_);
        return std::exchange(tally_, {});
    }

private:
    void run() {
        std::vector<float> buf = test::noise(2 * 128, 5, 3000.0f);
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            cv_.wait(l, [&] { return stop_ || done_ < asked_; });
            if (stop_) return;
            l.unlock();
            walk_.clear();
            const int32_t before = block_counter();
            ChainRunner(128, 48000, 2, buf.data());
            for (float& x : buf) x = std::isfinite(x) ? x * 0.5f + 50.0f : 0.0f;
            const bool passed = block_counter() != before;
            l.lock();
            if (passed) {
                ++tally_.processed;
                tally_.walks.push_back(walk_);
            } else {
                ++tally_.refused;
            }
            ++done_;
            cv_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    int asked_ = 0, done_ = 0;
    bool stop_ = false;
    Tally tally_;
    std::vector<EffectInstance> walk_;  // the audio thread's
    std::thread thread_;
};

// Every kind's entry points, wrapped: making an instance and restoring its parameters each take
// the time of one audio block (building 16 Delays takes many), and each walk notes what it reaches.
LockstepAudio* lockstep = nullptr;
std::array<KindEntry, kKindCount> real_entries{};
template <size_t K> EffectInstance create_slowly() {
    lockstep->block();
    return real_entries[K].create();
}
template <size_t K> void params_slowly(int32_t* block, EffectInstance inst, int32_t direction) {
    if (direction != 0) lockstep->block();
    real_entries[K].params(block, inst, direction);
}
template <size_t K> int32_t process_noting(int32_t n, int32_t rate, int32_t ch, float* buf, EffectInstance inst) {
    lockstep->reached(inst);
    return real_entries[K].process(n, rate, ch, buf, inst);
}
template <size_t... K> std::array<KindEntry, kKindCount> slow_entries(std::index_sequence<K...>) {
    return {KindEntry{process_noting<K>, create_slowly<K>, params_slowly<K>}...};
}

// An F-key switch between two full racks while the audio thread runs: every instance is made and set
// while the old rack plays, and the old instances go once the new ones play, so that no block walks
// half of each, none reaches an instance being destroyed, and at most the one block that meets the
// exchange of the tables is left unprocessed.
TEST_F(Presets, FKeySwitchLeavesAtMostOneBlockUnprocessed) {
    std::vector<EffectKind> every;
    for (EffectKind k = 1; k < kKindCount; ++k)
        if (kind_available(k)) every.push_back(k);
    std::vector<EffectKind> a = every, b(every.rbegin(), every.rend());
    while (a.size() < 16) a.push_back(kDelayKind);
    while (b.size() < 16) b.push_back(kGainKind);
    write_preset("F1 - Clean.pre", a);
    write_preset("F2 - Lead.pre", b);
    open();

    LockstepAudio audio;
    lockstep = &audio;
    const EffectRegistry& reg = get_registry();
    const auto slow = slow_entries(std::make_index_sequence<kKindCount>{});
    for (EffectKind k : every) {
        real_entries[static_cast<size_t>(k)] = {reg.process[k], reg.create[k], reg.params[k]};
        register_kind(k, slow[static_cast<size_t>(k)]);
    }
    struct Restore {
        std::vector<EffectKind>& kinds;
        ~Restore() {
            for (EffectKind k : kinds) register_kind(k, real_entries[static_cast<size_t>(k)]);
            get_registry();
            lockstep = nullptr;
        }
    } restore{every};

    const auto walked = [&] {
        std::vector<EffectInstance> w;
        for (int n = 1; n <= 16; ++n) w.push_back(inst(n));
        return w;
    };
    form->FormKeyUp(1);
    audio.take();
    for (int sw = 0; sw < 4; ++sw) {
        SCOPED_TRACE("switch " + std::to_string(sw + 1));
        const std::vector<EffectInstance> before = walked();
        // An old instance going takes a block's time too; no walk may reach it by then.
        for (EffectInstance old : before)
            old->form->observe([&](const Form& f) {
                if (f.destroyed()) audio.block();
            });
        form->FormKeyUp(sw % 2 == 0 ? 2 : 1);
        audio.block();
        const std::vector<EffectInstance> after = walked();
        EXPECT_EQ(kinds(), sw % 2 == 0 ? b : a);
        const LockstepAudio::Tally t = audio.take();
        // 16 made, 16 set, 16 gone, and one block after the switch.
        EXPECT_EQ(t.processed + t.refused, 16 * 3 + 1);
        EXPECT_LE(t.refused, 1);
        int old_rack = 0, new_rack = 0;
        for (const auto& w : t.walks) {
            if (w == before) ++old_rack;
            else if (w == after) ++new_rack;
            else ADD_FAILURE() << "a block walked neither rack whole";
        }
        EXPECT_EQ(old_rack, 32) << "the old rack plays while the new one is built and set";
        EXPECT_EQ(new_rack, 17);
    }
    EXPECT_EQ(load_gate.load(), 1);
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// The title names the chain file loaded or saved last and marks with "*" any change of the rack
// since: a kind, on/off, the order, an editor's control. A change taken back takes the mark away;
// saving or loading clears it; a file that could not be read leaves it.
TEST_F(Presets, TitleNamesTheChainFileAndMarksChangesSinceItWasLoadedOrSaved) {
    const fs::path lead = write_preset("F3 - Lead.pre", {kNoiseGate, kGainKind});
    open();
    EXPECT_EQ(form->title(), "Varnomix");
    s(4).kind.set_index(kWah);
    EXPECT_EQ(form->title(), "Varnomix *");
    ASSERT_TRUE(form->load_chain_file(lead.string()));
    const std::string clean = "Varnomix \u2014 F3 - Lead";
    EXPECT_EQ(form->title(), clean);

    const int gain_left = fx<Tgain_form>(2).ScrollBar_Gain_Left.position();
    const bool air = fx<Tgain_form>(2).CheckRadioBox_Air.checked();
    struct Change {
        const char* what;
        std::function<void()> make, take_back;
    };
    const Change changes[] = {
        {"kind", [&] { s(3).kind.set_index(kDelayKind); }, [&] { s(3).kind.set_index(0); }},
        {"on/off", [&] { s(1).onoff.set_checked(false); }, [&] { s(1).onoff.set_checked(true); }},
        {"order", [&] { s(1).arrows.click_down(); }, [&] { s(2).arrows.click_up(); }},
        {"editor slider", [&] { fx<Tgain_form>(2).ScrollBar_Gain_Left.set_position(gain_left + 7); },
         [&] { fx<Tgain_form>(2).ScrollBar_Gain_Left.set_position(gain_left); }},
        {"editor check box", [&] { fx<Tgain_form>(2).CheckRadioBox_Air.set_checked(!air); },
         [&] { fx<Tgain_form>(2).CheckRadioBox_Air.set_checked(air); }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        c.make();
        form->Timer1Timer();  // an editor's control is seen at the next tick at the latest
        EXPECT_EQ(form->title(), clean + " *");
        EXPECT_TRUE(form->rack_changed());
        c.take_back();
        form->Timer1Timer();
        EXPECT_EQ(form->title(), clean);
    }

    // Saved under another name: that name, unmarked.
    s(5).kind.set_index(kGainKind);
    ASSERT_TRUE(form->save_chain_file((presets() / "mine.pre").string()));
    EXPECT_EQ(form->title(), "Varnomix \u2014 mine");
    // A failed save or load changes neither the name nor the mark.
    s(5).onoff.set_checked(true);
    const std::string changed = "Varnomix \u2014 mine *";
    EXPECT_EQ(form->title(), changed);
    EXPECT_FALSE(form->save_chain_file((home / "no such folder" / "x.pre").string()));
    std::ofstream(presets() / "short.pre") << "not a chain";
    EXPECT_FALSE(form->load_chain_file((presets() / "short.pre").string()));
    EXPECT_EQ(form->title(), changed);
    ASSERT_TRUE(form->load_chain_file(lead.string()));
    EXPECT_EQ(form->title(), clean);
}

// Editors carry their own caption and the slot, so that two of one kind are told apart; a move
// renames them.
TEST_F(Presets, EditorCaptionsNameKindAndSlot) {
    open();
    s(2).kind.set_index(kGainKind);
    s(5).kind.set_index(kGainKind);
    s(6).kind.set_index(kNoiseGate);
    EXPECT_EQ(fx<Tgain_form>(2).caption(), "Gain \u2014 slot 2");
    EXPECT_EQ(fx<Tgain_form>(5).caption(), "Gain \u2014 slot 5");
    EXPECT_EQ(fx<Tnoise_gate_form>(6).caption(), "Noise Gate \u2014 slot 6");
    Form* fifth = inst(5)->form;
    s(5).arrows.click_up();
    EXPECT_EQ(inst(4)->form, fifth);
    EXPECT_EQ(fifth->caption(), "Gain \u2014 slot 4");
    ASSERT_TRUE(form->load_chain_file(write_preset("two.pre", {0, 0, kGainKind, 0, test::kSoftHard}).string()));
    EXPECT_EQ(fx<Tgain_form>(3).caption(), "Gain \u2014 slot 3");
    // The effect's own caption, without the blanks that placed it on a skin.
    EXPECT_EQ(inst(5)->form->caption(), "Distortion \u2014 slot 5");
}

}  // namespace
}  // namespace vx
