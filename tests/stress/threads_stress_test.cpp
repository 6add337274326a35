// The audio thread walks a full rack while the user-interface thread does everything a guitarist
// can do to it. Meant to be run under ThreadSanitizer (make tsan): a race shows up as a report
// there; here the output must stay finite. The amount of work is counted in rounds, not seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"
#include "app/chain_file.h"
#include "engine/program_folder.h"
#include "engine/effects.h"
#include "fake_drivers.h"
#include "fake_services.h"
#include "fx/read_wav.h"
#include "fx/record_wavs.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

constexpr int kPlayer = 11, kRecorder = 12;

// Rounds of the user-interface thread; VX_STRESS_ROUNDS raises it for a longer run.
int rounds() {
    if (const char* e = std::getenv("VX_STRESS_ROUNDS")) return std::max(1, std::atoi(e));
    return 2;
}

void write_wav(const fs::path& p, int frames) {
    std::vector<char> wav(44 + static_cast<size_t>(frames) * 4);
    const char head[] = "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0data";
    std::copy(head, head + 40, wav.begin());
    const uint32_t bytes = static_cast<uint32_t>(frames) * 4;
    std::memcpy(&wav[40], &bytes, 4);
    for (size_t i = 44; i < wav.size(); ++i) wav[i] = static_cast<char>(i * 37);
    std::ofstream(p, std::ios::binary).write(wav.data(), static_cast<std::streamsize>(wav.size()));
}

// Every control of one effect moved once: sliders to min, middle or max by turn, boxes flipped,
// lists and radio groups to their next entry, buttons pressed.
void move_controls(Form& f, int turn, test::FakeServices& services, const fs::path& home) {
    for (Control* c : f.controls()) {
        if (!c->enabled()) continue;
        switch (c->type()) {
        case Control::Type::Slider: {
            auto* s = static_cast<Slider*>(c);
            const int at[3] = {s->min(), (s->min() + s->max()) / 2, s->max()};
            s->set_position(at[turn % 3]);
            break;
        }
        case Control::Type::CheckBox: {
            auto* b = static_cast<CheckBox*>(c);
            b->set_checked(!b->checked());
            break;
        }
        case Control::Type::Selector: {
            auto* s = static_cast<Selector*>(c);
            if (!s->items().empty()) s->set_index((s->index() + 1) % static_cast<int>(s->items().size()));
            break;
        }
        case Control::Type::RadioGroup: {
            auto* r = static_cast<RadioGroup*>(c);
            r->set_index((r->index() + 1) % static_cast<int>(r->items().size()));
            break;
        }
        case Control::Type::Button:
            // A dialog a button opens is answered: the player gets the track, a save a fresh name.
            services.open_answers.push_back((home / "track.wav").string());
            services.save_answers.push_back((home / ("take" + std::to_string(turn) + ".wav")).string());
            static_cast<Button*>(c)->click();
            services.open_answers.clear();
            services.save_answers.clear();
            break;
        default:
            break;
        }
    }
}

TEST(Stress, UserThreadWorksTheRackWhileAudioThreadWalksIt) {
    effects_startup();
    unit1_startup();
    const fs::path home = fs::temp_directory_path() / ("vx-stress-" + std::to_string(::getpid()));
    fs::remove_all(home);
    for (const char* sub : {"PRESETS", "SKINS", "temp"}) fs::create_directories(home / sub);
    write_wav(home / "demo1.wav", 2000);
    write_wav(home / "track.wav", 3000);
    const fs::path saved_home = program_home();
    set_program_home(home);

    // Two chain files: every kind in turn, and the same kinds backwards.
    std::vector<fs::path> presets;
    for (int dir : {0, 1}) {
        ChainFile rec;
        rec.version = kChainFileVersion;
        for (int i = 0; i < 16; ++i) {
            const int k = 1 + i % 13;
            rec.kind[i] = dir ? 14 - k : k;
            rec.onoff[i] = 1;
        }
        presets.push_back(home / "PRESETS" / (dir ? "back.pre" : "forth.pre"));
        ASSERT_EQ(write_chain_file(presets.back().string(), rec), "");
    }

    test::FakeServices services;
    test::RecordingDrivers drivers;
    auto form = std::make_unique<TForm1>(services, drivers, home);
    form->show();
    for (int n = 1; n <= 16; ++n) {
        form->slot(n).kind.set_index(1 + (n - 1) % 13);
        if (form->slot(n).onoff.caption() == "Off") form->slot(n).onoff.set_checked(true);
    }

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0}, bad{0};
    std::thread audio([&] {
        std::vector<float> buf(2 * 480);
        uint32_t seed = 1;
        while (!stop.load()) {
            for (auto& x : buf) {
                seed = seed * 1664525u + 1013904223u;
                x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 16000.0f;
            }
            const int n = (blocks.load(std::memory_order_relaxed) % 3 == 0) ? 7 : 480;
            ChainRunner(n, 48000, 2, buf.data());
            for (int i = 0; i < 2 * n; ++i)
                if (!std::isfinite(buf[static_cast<size_t>(i)])) bad.fetch_add(1);
            blocks.fetch_add(1, std::memory_order_relaxed);
        }
    });

    const int total = rounds();
    for (int r = 0; r < total; ++r) {
        for (int n = 1; n <= 16; ++n) {
            EffectInstance inst = form->rack_table().instance[n - 1];
            if (inst != nullptr) move_controls(*inst->form, r + n, services, home);
        }
        // The player and the recorder driven by hand too: a fresh load, a take started, paused, saved.
        for (int n = 1; n <= 16; ++n) {
            EffectInstance inst = form->rack_table().instance[n - 1];
            if (inst == nullptr) continue;
            if (form->rack_table().kind[n - 1] == kPlayer) {
                auto& p = *static_cast<TReadWav*>(inst->form);
                p.wav_path = (home / (r % 2 ? "track.wav" : "demo1.wav")).string();
                p.SaveFilePlayBack();
            } else if (form->rack_table().kind[n - 1] == kRecorder) {
                auto& rec = *static_cast<TRecord_wav_form*>(inst->form);
                rec.Button_Save.click();
                rec.Button_Pause.click();
                rec.Button_Pause.click();
                services.save_answers.push_back((home / "take.wav").string());
                rec.Button_Stop_and_Save.click();
                services.save_answers.clear();
            }
        }
        // Slots switched off and on, moved up and down, rebuilt as another kind.
        for (int n = 1; n <= 16; ++n) {
            form->slot(n).onoff.set_checked(!form->slot(n).onoff.checked());
            form->slot(n).onoff.set_checked(!form->slot(n).onoff.checked());
        }
        for (int n = 2; n <= 16; n += 3) form->spSkinUpDown1UpButtonClick(form->slot(n).arrows);
        for (int n = 1; n <= 15; n += 4) form->spSkinUpDown1DownButtonClick(form->slot(n).arrows);
        form->slot(1 + r % 16).kind.set_index(1 + (r * 5) % 13);
        ASSERT_TRUE(form->load_chain_file(presets[static_cast<size_t>(r % 2)].string()));
    }
    // However slow the audio thread got, it must have walked the rack a few times meanwhile.
    while (blocks.load() < 16) std::this_thread::yield();
    stop.store(true);
    audio.join();

    EXPECT_EQ(bad.load(), 0) << "non-finite samples in " << blocks.load() << " blocks";
    EXPECT_GT(blocks.load(), 0);
    form.reset();
    effects_startup();
    unit1_startup();
    set_program_home(saved_home);
    fs::remove_all(home);
}

}  // namespace
}  // namespace vx
