// The main window's life: creation with its skin and lists, the first show with "face.ini" and the
// last chain file, the close that writes the settings back, and the skins.
#include <zip.h>

#include <functional>

#include "app/console_services.h"
#include "app/skin_archive.h"
#include "engine/ini.h"
#include "gain_form.h"
#include "program_fixture.h"

namespace vx {
namespace {

using test::kDelayKind;
using test::kGainKind;
using test::kNoiseGate;
using test::kSoftHard;
using test::kWah;
using Lifecycle = test::ProgramFolder;
namespace fs = std::filesystem;

void write_text(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

TEST_F(Lifecycle, FirstStartUnpacksTheDefaultSkinAndAppliesDefaultsAndTheDefaultChain) {
    fs::remove_all(home / "temp");
    const fs::path f9 = write_preset(kDefaultChainFile, {kNoiseGate, kSoftHard});
    open(false);
    ASSERT_EQ(services.unpacked.size(), 1u);
    EXPECT_EQ(services.unpacked[0].first, (home / "SKINS" / "symbios.zip").string());
    EXPECT_EQ(services.unpacked[0].second, (home / "temp").string());
    ASSERT_EQ(services.loaded_skins.size(), 1u);
    EXPECT_EQ(services.loaded_skins[0].first, form.get());
    EXPECT_EQ(services.loaded_skins[0].second, (home / "temp" / "skin.ini").string());
    EXPECT_EQ(Form::skin_folder(), (home / "temp").string());
    EXPECT_EQ(form->rack_table().count, 0) << "the rack waits for the first show";

    form->show();
    EXPECT_EQ(form->rgSampleRate.index(), 3);
    EXPECT_EQ(engine_settings.sample_rate, 48000);
    EXPECT_TRUE(form->cbStereo.checked());
    EXPECT_EQ(form->TrackBar_Latency_Porog.position(), 35);
    EXPECT_EQ(kinds(), rack_of({kNoiseGate, kSoftHard}));
    EXPECT_EQ(form->last_chain_file(), f9.string());
    EXPECT_TRUE(services.messages.empty());
    // A stored rate of 3 is what the window shows: no rate change handling ran.
    int rate_changes = 0;
    for (const std::string& c : drivers.calls) rate_changes += c.starts_with("get_min_buf_size_waveIn");
    EXPECT_EQ(rate_changes, 1) << "only the input's";
}

TEST_F(Lifecycle, AnUnpackedSkinIsLoadedAsItIs) {
    write_text(home / "temp" / "skin.ini", "[Skin]\nName=mine\n");
    open();
    EXPECT_TRUE(services.unpacked.empty());
    ASSERT_EQ(services.loaded_skins.size(), 1u);
    EXPECT_EQ(services.loaded_skins[0].second, (home / "temp" / "skin.ini").string());
}

TEST_F(Lifecycle, TheDefaultChainIsOnlyForAMissingPath) {
    struct Case {
        std::string face_ini;  // "" : no file
        EffectKind slot1;      // after the first show
    };
    const std::string f3 = (home / "PRESETS" / "F3 lead.pre").string();
    const Case cases[] = {
        {"", kNoiseGate},
        {"[Default Preset]\n", kNoiseGate},
        {"[Default Preset]\nPath=ERROR\n", kNoiseGate},  // what a missing key reads as
        {"[Default Preset]\nPath=\n", 0},                // a run that loaded nothing
        {"[default preset]\npath=" + f3 + "\n", kWah},
        {"[Default Preset]\nPath=" + f3 + ".gone\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.face_ini);
        TearDown();
        SetUp();
        write_preset(kDefaultChainFile, {kNoiseGate});
        write_preset("F3 lead.pre", {kWah});
        if (!c.face_ini.empty()) write_text(home / "face.ini", c.face_ini);
        open();
        EXPECT_EQ(form->rack_table().kind[0], c.slot1);
    }
}

TEST_F(Lifecycle, FaceIniRoundTripKeepsTheRestOfTheFile) {
    write_text(home / "face.ini", "; set by hand\n[Wave Devices]\nusefastwdm=0\n[Mine]\nx=y\n");
    const fs::path f3 = write_preset("F3 lead.pre", {kDelayKind, kGainKind});
    open();
    form->ComboBox_waveIn.set_index(1);
    form->ComboBox_waveOut.set_index(2);
    form->TrackBar_Latency_Porog.set_position(20);
    form->cbStereo.set_checked(false);
    form->rgSampleRate.set_index(1);
    form->FormKeyUp(3);
    ASSERT_EQ(form->last_chain_file(), f3.string());
    fx<Tgain_form>(2).ScrollBar_Gain_Left.set_position(99);  // not saved: the file is what comes back
    close_and_end();

    const std::string text = test::text_of(home / "face.ini");
    EXPECT_NE(text.find("; set by hand"), std::string::npos) << text;
    EXPECT_NE(text.find("[Wave Devices]"), std::string::npos) << text;
    EXPECT_NE(text.find("\ninput=1\n"), std::string::npos) << text;
    {
        const IniFile ini((home / "face.ini").string());
        EXPECT_EQ(ini.read_int("Wave Devices", "input", -9), 1);
        EXPECT_EQ(ini.read_int("Wave Devices", "output", -9), 2);
        EXPECT_EQ(ini.read_int("Wave Devices", "latency", -9), 20);
        EXPECT_EQ(ini.read_int("Wave Devices", "MonoStereo", -9), 0);
        EXPECT_EQ(ini.read_int("Wave Devices", "SampleFreq", -9), 1);
        EXPECT_EQ(ini.read_int("Wave Devices", "usefastwdm", -9), 0);
        EXPECT_EQ(ini.read_string("Default Preset", "Path", "?"), f3.string());
        EXPECT_EQ(ini.read_string("Mine", "x", "?"), "y");
    }

    drivers.take();
    open();
    EXPECT_EQ(form->ComboBox_waveIn.index(), 1);
    EXPECT_EQ(form->ComboBox_waveOut.index(), 2);
    EXPECT_EQ(form->TrackBar_Latency_Porog.position(), 20);
    EXPECT_EQ(engine_settings.latency_threshold_ms, 20);
    EXPECT_FALSE(form->cbStereo.checked());
    EXPECT_EQ(engine_settings.channels, 1);
    EXPECT_EQ(engine_settings.sample_rate, 32075);
    const auto calls = drivers.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "select_waveIn_device(1)"), calls.end());
    EXPECT_EQ(kinds(), rack_of({kDelayKind, kGainKind}));
    EXPECT_EQ(fx<Tgain_form>(2).ScrollBar_Gain_Left.position(), 0) << "as the file holds it, not the unsaved 99";

    close_and_end();

    // A run that loads nothing writes the path empty, and the next one loads nothing, not even
    // the default chain.
    write_text(home / "face.ini", "[Default Preset]\nPath=\n");
    write_preset(kDefaultChainFile, {kNoiseGate});
    open();
    EXPECT_EQ(form->rack_table().kind[0], 0);
    close_and_end();
    EXPECT_EQ(IniFile((home / "face.ini").string()).read_string("Default Preset", "Path", "?"), "");
}

TEST_F(Lifecycle, StoredValuesAreClampedOrLeftAlone) {
    struct Case {
        const char* line;
        int latency, rate, input;
        bool stereo;
    };
    const Case cases[] = {
        {"latency=0", 1, 3, 0, true},      {"latency=99", 50, 3, 0, true},   {"latency=0x14", 20, 3, 0, true},
        {"latency=abc", 35, 3, 0, true},   {"SampleFreq=7", 35, 3, 0, true}, {"SampleFreq=-1", 35, -1, 0, true},
        {"SampleFreq=0", 35, 0, 0, true},  {"MonoStereo=5", 35, 3, 0, true}, {"MonoStereo=0", 35, 3, 0, false},
        {"input=9", 35, 3, 0, true},       {"input=-3", 35, 3, 0, true},     {"input=1", 35, 3, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        write_text(home / "face.ini", std::string("[Wave Devices]\n") + c.line + "\n");
        open();
        EXPECT_EQ(form->TrackBar_Latency_Porog.position(), c.latency);
        EXPECT_EQ(form->rgSampleRate.index(), c.rate);
        EXPECT_EQ(form->ComboBox_waveIn.index(), c.input);
        EXPECT_EQ(form->cbStereo.checked(), c.stereo);
        for (const std::string& call : drivers.calls)
            EXPECT_TRUE(call.find("select_waveIn_device") == std::string::npos || call == "select_waveIn_device(-1)" ||
                        call == "select_waveIn_device(" + std::to_string(c.input) + ")")
                << call;
    }
}

TEST_F(Lifecycle, SettingsSurviveADeviceFailureButNotARunThatLeavesThemAlone) {
    drivers.select_out_result = 0;
    open();
    form->TrackBar_Latency_Porog.set_position(12);
    form->BitBtn_Init.click();
    EXPECT_TRUE(services.quits.empty());
    close_and_end();
    EXPECT_NE(test::text_of(home / "face.ini").find("latency=12"), std::string::npos);
    fs::remove(home / "face.ini");

    drivers.select_out_result = 1;
    open();
    form->write_settings_at_close = false;
    close_and_end();
    EXPECT_FALSE(fs::exists(home / "face.ini"));
}

TEST_F(Lifecycle, SkinsSelectorAppliesAndAdjustsTheLayout) {
    for (const char* z : {"b.zip", "A.zip", "notes.txt"}) write_text(home / "SKINS" / z, "");
    open();
    Selector& k = form->ComboBox_SKINS;
    EXPECT_EQ(k.items(), (std::vector<std::string>{"SKINS", "Download From Internet", "A.zip", "b.zip"}));
    EXPECT_EQ(k.index(), 0);
    auto layout = [&] {
        std::vector<int> v{form->spSkinButton17.bounds.left};
        for (int n = 1; n <= 16; ++n) {
            v.push_back(s(n).onoff.bounds.left);
            v.push_back(s(n).onoff.bounds.width);
        }
        return v;
    };
    const std::vector<int> plain = layout();
    EXPECT_EQ(plain[1], 8);
    EXPECT_EQ(plain[2], 48);
    std::vector<int> wide{plain[0] - 8};
    for (int n = 1; n <= 16; ++n) {
        wide.push_back(plain[2 * n - 1] - 8);
        wide.push_back(plain[2 * n] + 8);
    }

    services.unpacked.clear();
    services.loaded_skin_name = "@mosphere";
    k.set_index(3);
    EXPECT_EQ(services.unpacked,
              (decltype(services.unpacked){{(home / "SKINS" / "b.zip").string(), (home / "temp").string()}}));
    EXPECT_EQ(services.loaded_skins.back().first, form.get());
    EXPECT_EQ(layout(), wide);
    k.set_index(3);  // the skin shown: not unpacked again
    EXPECT_EQ(services.unpacked.size(), 1u);
    k.set_index(2);  // another skin of the same name: no second shift
    EXPECT_EQ(layout(), wide);
    services.loaded_skin_name = "symbios";
    k.set_index(3);
    EXPECT_EQ(layout(), plain);

    k.set_index(1);
    EXPECT_EQ(services.folders, std::vector<std::string>{(home / "SKINS").string()});
    write_text(home / "SKINS" / "c.zip", "");
    const size_t unpacks = services.unpacked.size();
    k.set_index(0);
    EXPECT_EQ(k.items().back(), "c.zip");
    EXPECT_EQ(k.index(), 0);
    EXPECT_EQ(services.unpacked.size(), unpacks);
    EXPECT_EQ(services.folders.size(), 1u);
}

// A skin archive that cannot be unpacked is named; the look and the list stay what they were. A
// missing default archive at the first start leaves the plain look quietly.
TEST_F(Lifecycle, SkinsThatCannotBeUnpackedAreNamed) {
    for (const char* z : {"a.zip", "broken.zip"}) write_text(home / "SKINS" / z, "");
    services.unpack_result = false;
    open();
    EXPECT_TRUE(services.messages.empty());  // no symbios.zip at all
    close_and_end();

    write_text(home / "SKINS" / "symbios.zip", "not a zip");
    open();
    EXPECT_EQ(services.texts(),
              std::vector<std::string>{"The skin symbios.zip could not be unpacked; the plain look is used."});
    EXPECT_TRUE(services.messages[0].warning);
    services.messages.clear();

    services.unpack_result = true;
    Selector& k = form->ComboBox_SKINS;
    k.set_index(2);  // a.zip
    EXPECT_TRUE(services.messages.empty());
    services.unpack_result = false;
    const size_t unpacks = services.unpacked.size();
    k.set_index(3);  // broken.zip
    EXPECT_EQ(services.unpacked.size(), unpacks + 1);
    EXPECT_EQ(services.texts(),
              std::vector<std::string>{"The skin broken.zip could not be unpacked; the look stays as it was."});
    EXPECT_EQ(k.text(), "a.zip");
    EXPECT_EQ(services.unpacked.size(), unpacks + 1);  // going back does not unpack a.zip again
}

TEST_F(Lifecycle, TheWideLayoutFromTheStart) {
    write_text(home / "temp" / "skin.ini", "[Skin]\nName=@mosphere\n");
    services.loaded_skin_name = "@mosphere";
    open();
    EXPECT_EQ(s(1).onoff.bounds.width, 56);
    EXPECT_EQ(s(16).onoff.bounds.left, 0);
}

TEST_F(Lifecycle, EditorsTakeTheSkinAtTheirFirstShow) {
    open();
    s(2).kind.set_index(kGainKind);
    const size_t before = services.loaded_skins.size();
    s(2).tune.click();
    ASSERT_EQ(services.loaded_skins.size(), before + 1);
    EXPECT_EQ(services.loaded_skins.back().first, inst(2)->form);
    EXPECT_EQ(services.loaded_skins.back().second, (home / "temp" / "skin.ini").string());
    inst(2)->form->hide();
    s(2).tune.click();
    EXPECT_EQ(services.loaded_skins.size(), before + 1) << "only the first show loads it";
}

// The shipped skins, unpacked and read for real.
TEST_F(Lifecycle, ShippedSkinsUnpackAndApply) {
    const fs::path built = fs::path(VX_BIN_DIR) / "SKINS";
    for (const char* z : {"symbios.zip", "atmosphere.zip"}) fs::copy_file(built / z, home / "SKINS" / z);
    fs::remove_all(home / "temp");
    ConsoleServices console;
    TForm1 window(console, drivers, home);
    window.show();
    EXPECT_EQ(console.skin_name(), "symbios");
    SkinDescription skin;
    ASSERT_TRUE(read_skin((home / "temp" / "skin.ini").string(), skin));
    EXPECT_EQ(skin.name, "symbios");
    EXPECT_NE(skin.style_sheet.find("QPushButton"), std::string::npos);

    const auto& items = window.ComboBox_SKINS.items();
    const auto at = std::find(items.begin(), items.end(), "atmosphere.zip");
    ASSERT_NE(at, items.end());
    window.ComboBox_SKINS.set_index(static_cast<int>(at - items.begin()));
    EXPECT_EQ(console.skin_name(), "@mosphere");
    EXPECT_EQ(window.slot(1).onoff.bounds.width, 56);
    ASSERT_TRUE(read_skin((home / "temp" / "skin.ini").string(), skin));
    EXPECT_EQ(skin.name, "@mosphere");

    // A missing archive leaves the skin as it was.
    EXPECT_FALSE(console.unpack_skin((home / "SKINS" / "gone.zip").string(), (home / "temp").string()));
    console.load_skin(window, (home / "nowhere" / "skin.ini").string());
    EXPECT_EQ(console.skin_name(), "@mosphere");
}

// Writes a zip archive of (name, content) entries.
void make_zip(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& entries) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& [name, content] : entries) {
        zip_source_t* src = zip_source_buffer(z, content.data(), content.size(), 0);
        ASSERT_GE(zip_file_add(z, name.c_str(), src, ZIP_FL_ENC_UTF_8), 0) << name;
    }
    ASSERT_EQ(zip_close(z), 0);
}

TEST_F(Lifecycle, SkinArchivesWithUnsafeNamesAreRefusedWhole) {
    const fs::path out = home / "temp" / "unpacked";
    for (const char* bad : {"../escape.txt", "sub/../../escape.txt", "/abs.txt"}) {
        SCOPED_TRACE(bad);
        make_zip(home / "bad.zip", {{"skin.ini", "[Skin]\nName=x\n"}, {bad, "no"}});
        EXPECT_NE(unpack_zip((home / "bad.zip").string(), out.string()), "");
        EXPECT_FALSE(fs::exists(out / "skin.ini"));
        EXPECT_FALSE(fs::exists(home / "temp" / "escape.txt"));
        EXPECT_FALSE(fs::exists(home / "escape.txt"));
    }
    make_zip(home / "good.zip", {{"skin.ini", "[Skin]\nName=good\nStyleSheet=css/s.qss\n"}, {"css/s.qss", "QWidget {}"}});
    EXPECT_EQ(unpack_zip((home / "good.zip").string(), out.string()), "");
    SkinDescription skin;
    ASSERT_TRUE(read_skin((out / "skin.ini").string(), skin));
    EXPECT_EQ(skin.name, "good");
    EXPECT_EQ(skin.style_sheet, "QWidget {}");
}

// A zip bomb: an archive that inflates beyond the cap is refused, one big file or many small ones.
TEST_F(Lifecycle, SkinArchivesBeyondTheSizeCapAreRefused) {
    const fs::path out = home / "temp" / "unpacked";
    const std::string zeros(3000, '\0');
    make_zip(home / "big.zip", {{"skin.ini", "[Skin]\nName=x\n"}, {"big.bin", zeros}});
    EXPECT_NE(unpack_zip((home / "big.zip").string(), out.string(), 2000), "");
    EXPECT_FALSE(fs::exists(out / "big.bin"));
    make_zip(home / "many.zip", {{"a.bin", zeros}, {"b.bin", zeros}});
    EXPECT_NE(unpack_zip((home / "many.zip").string(), out.string(), 5000), "");
    EXPECT_EQ(unpack_zip((home / "many.zip").string(), out.string(), 6000), "");
    EXPECT_EQ(fs::file_size(out / "b.bin"), 3000u);
}

}  // namespace
}  // namespace vx
