// The main window's own lifecycle: creation with the skin and the lists, the first show with the
// devices, the rack and the settings of "face.ini", and the close that writes them back.
#include "Unit1.h"

#include <cmath>
#include <filesystem>
#include <limits>

#include "engine/program_folder.h"
#include "app/midi_control.h"
#include "engine/ini.h"

namespace fs = std::filesystem;

namespace vx {

EngineSettings engine_settings;
int32_t engine_running = 0;

namespace {

constexpr const char* kWaveDevices = "Wave Devices";
constexpr const char* kDefaultPreset = "Default Preset";
constexpr const char* kPathMissing = "ERROR";
constexpr const char* kAtmosphere = "@mosphere";
constexpr int kWideBoxWidth = 56;

}  // namespace

void unit1_startup() {
    engine_settings = EngineSettings{};
    engine_running = 0;
    chain_file_record = ChainFile{};
}

int nearest(double x) {
    if (!(x == x)) return 0;
    const double r = std::nearbyint(x);
    if (r >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (r <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(r);
}

TForm1::TForm1(Services& services, AudioDrivers& drivers, std::filesystem::path program_folder)
    : Form("Varnomix 3", 800, 600), services_(services), drivers_(drivers),
      program_folder_(std::move(program_folder)) {
    set_program_home(program_folder_);
    // An effect that cannot write its settings file says so in a warning dialog.
    set_settings_reporter([this](const std::string& text) { services_.warning(text); });
    fixed_size = true;
    caption_buttons = true;
    create_engine_panel();
    create_rack();
    create_preset_controls();
    midi_ = std::make_unique<MidiControl>(*this);
    FormCreate();
}

TForm1::~TForm1() {
    midi_.reset();
    tuner_.reset();
    destroy_rack();
    set_settings_reporter(nullptr);
}

std::string TForm1::skins_folder() const { return (program_folder_ / "SKINS").string(); }

void TForm1::FormCreate() {
    const fs::path temp = program_folder_ / "temp";
    // Every editor loads the current skin from here at its first show.
    Form::skin_folder() = temp.string();
    std::error_code ec;
    // A missing default archive leaves the plain look quietly; one that is there but broken is named.
    const fs::path default_skin = fs::path(skins_folder()) / kDefaultSkin;
    if (!fs::exists(temp / "skin.ini", ec)) {
        if (!apply_skin(default_skin.string()) && fs::exists(default_skin, ec))
            services_.warning("The skin " + std::string(kDefaultSkin) + " could not be unpacked; the plain look is used.");
    }
    else
        services_.load_skin(*this, (temp / "skin.ini").string());
    adjust_layout_to_skin();
    for (const std::string& n : list_files(skins_folder(), "", ".zip")) ComboBox_SKINS.add_item(n);
    for (const std::string& n : chain_file_names()) ComboBox_PRESETS.add_item(n);
}

void TForm1::FormShow() {
    if (first_show_done_) return;
    first_show_done_ = true;
    show_devices();
    for (int n = 1; n <= kSlots; ++n) fill_kind_selector(slot(n).kind);
    build_rack();
    mark_rack_kept("");
    apply_settings();
}

void TForm1::apply_settings() {
    const IniFile ini((program_folder_ / "face.ini").string());
    // A stored device index outside today's list keeps the device shown.
    auto device = [&](Selector& s, const char* key) {
        const int32_t i = ini.read_int(kWaveDevices, key, 0);
        if (i >= 0 && i < static_cast<int32_t>(s.items().size())) s.set_index(i);
    };
    if (const std::string file = ini.read_string(kWaveDevices, "InputFile", ""); !file.empty())
        drivers_.set_wav_input_path(file);
    restoring_settings_ = true;
    device(ComboBox_waveIn, "input");
    restoring_settings_ = false;
    device(ComboBox_waveOut, "output");
    TrackBar_Latency_Porog.set_position(ini.read_int(kWaveDevices, "latency", 35));  // clamped to 1..50
    cbStereo.set_checked(ini.read_int(kWaveDevices, "MonoStereo", 1) != 0);
    const int32_t rate = ini.read_int(kWaveDevices, "SampleFreq", 3);
    rgSampleRate.set_index(rate > 3 ? 3 : (rate < 0 ? -1 : rate));
    midi_source_ = ini.read_string("MIDI", "source", "");

    // Only a missing key means the default chain file; an empty one means none.
    std::string path = ini.read_string(kDefaultPreset, "Path", kPathMissing);
    if (path == kPathMissing) path = (fs::path(presets_folder()) / kDefaultChainFile).string();
    std::error_code ec;
    if (!path.empty() && fs::is_regular_file(path, ec)) load_chain_file(path);
}

bool TForm1::FormClose() {
    if (BitBtn_Reset.enabled()) drivers_.stop_and_close_wave_in();
    drivers_.CloseDSound();
    if (write_settings_at_close) write_settings();
    return true;
}

void TForm1::write_settings() {
    IniFile ini((program_folder_ / "face.ini").string());
    ini.write_int(kWaveDevices, "input", ComboBox_waveIn.index());
    ini.write_int(kWaveDevices, "output", ComboBox_waveOut.index());
    ini.write_int(kWaveDevices, "latency", TrackBar_Latency_Porog.position());
    ini.write_int(kWaveDevices, "MonoStereo", cbStereo.checked() ? 1 : 0);
    ini.write_int(kWaveDevices, "SampleFreq", rgSampleRate.index());
    if (!drivers_.wav_input_path().empty()) ini.write_string(kWaveDevices, "InputFile", drivers_.wav_input_path());
    ini.write_string(kDefaultPreset, "Path", last_chain_file_);
    ini.write_string("MIDI", "source", midi_source_);
    // Settings are not worth a dialog on the way out; the file keeps its earlier content.
    (void)ini.save();
}

int32_t TForm1::read_usefastwdm() const {
    return IniFile((program_folder_ / "face.ini").string()).read_int(kWaveDevices, "usefastwdm", 0);
}

// --- skins -----------------------------------------------------------------------------------

bool TForm1::apply_skin(const std::string& archive_path) {
    const fs::path temp = program_folder_ / "temp";
    const bool unpacked = services_.unpack_skin(archive_path, temp.string());
    services_.load_skin(*this, (temp / "skin.ini").string());
    return unpacked;
}

void TForm1::adjust_layout_to_skin() {
    const bool wide = services_.skin_name() == kAtmosphere;
    const int width = slot(1).onoff.bounds.width;
    int shift = 0;
    if (wide && width != kWideBoxWidth) shift = -8;
    if (!wide && width == kWideBoxWidth) shift = +8;
    if (shift == 0) return;
    for (int n = 1; n <= kSlots; ++n) {
        Control::Rect& r = slot(n).onoff.bounds;
        r.left += shift;
        r.width -= shift;
    }
    spSkinButton17.bounds.left += shift;
    // The views lay the window out again.
    notify();
}

void TForm1::ComboBox_SKINSClick() {
    choose_list_entry(ComboBox_SKINS, skins_busy_, "SKINS", skins_folder(), ".zip");
}

void TForm1::ComboBox_SKINSChange() {
    if (skins_busy_ || ComboBox_SKINS.index() < 2) return;
    const std::string name = ComboBox_SKINS.text();
    const bool applied = apply_skin((fs::path(skins_folder()) / name).string());
    adjust_layout_to_skin();
    if (applied) {
        skin_shown_ = ComboBox_SKINS.index();
        return;
    }
    // The look stays what it was, and so does the list.
    skins_busy_ = true;
    ComboBox_SKINS.set_index(skin_shown_ < static_cast<int>(ComboBox_SKINS.items().size()) ? skin_shown_ : 0);
    skins_busy_ = false;
    services_.warning("The skin " + name + " could not be unpacked; the look stays as it was.");
}

}  // namespace vx
