// A main window on a program folder of its own (PRESETS/, SKINS/, temp/ below a fresh temporary
// folder), with the scripted desktop and the recording drivers. The window is made by open(), so
// that a test can lay out files first.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/chain_file.h"
#include "engine/effects.h"
#include "fake_drivers.h"
#include "fake_services.h"

namespace vx::test {

namespace fs = std::filesystem;

constexpr EffectKind kNoiseGate = 1, kSoftHard = 6, kDelayKind = 8, kWah = 10, kGainKind = 13;

inline std::vector<uint8_t> slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string text_of(const fs::path& p) {
    const std::vector<uint8_t> b = slurp(p);
    return std::string(b.begin(), b.end());
}

class ProgramFolder : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        unit1_startup();
        home = fs::temp_directory_path() / ("vx-home-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        for (const char* sub : {"PRESETS", "SKINS", "temp"}) fs::create_directories(home / sub);
    }
    void TearDown() override {
        form.reset();
        fs::remove_all(home);
        effects_startup();
        unit1_startup();
        Form::skin_folder().clear();
    }

    // Creates the main window; `shown` also runs its first show.
    TForm1& open(bool shown = true) {
        form = std::make_unique<TForm1>(services, drivers, home);
        if (shown) form->show();
        return *form;
    }
    // Closes the window as the user does and forgets it, as the end of a run.
    void close_and_end() {
        ASSERT_TRUE(form->close());
        form.reset();
        effects_startup();
        unit1_startup();
    }

    fs::path presets() const { return home / "PRESETS"; }
    // A chain file in PRESETS/ with these kinds in slots 1.. (all on), version 303 unless said.
    fs::path write_preset(const std::string& name, std::vector<EffectKind> kinds, int16_t version = 303) {
        ChainFile rec;
        rec.version = version;
        for (size_t i = 0; i < kinds.size(); ++i) {
            rec.kind[i] = kinds[i];
            rec.onoff[i] = 1;
        }
        const fs::path p = presets() / name;
        EXPECT_EQ(write_chain_file(p.string(), rec), "");
        return p;
    }

    TForm1::EffectSlot& s(int n) { return form->slot(n); }
    EffectInstance inst(int n) { return form->rack_table().instance[n - 1]; }
    template <class T> T& fx(int n) { return *dynamic_cast<T*>(inst(n)->form); }
    std::vector<EffectKind> kinds() {
        std::vector<EffectKind> k;
        for (int n = 1; n <= TForm1::kSlots; ++n) k.push_back(form->rack_table().kind[n - 1]);
        return k;
    }
    // Kinds for slots 1.., the rest empty.
    static std::vector<EffectKind> rack_of(std::vector<EffectKind> front) {
        front.resize(TForm1::kSlots, 0);
        return front;
    }

    FakeServices services;
    RecordingDrivers drivers;
    fs::path home;
    std::unique_ptr<TForm1> form;
};

}  // namespace vx::test
