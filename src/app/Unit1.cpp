#include "Unit1.h"

// Plain bytes: the settings files are ASCII, and no Unicode library is needed to read them.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <cmath>
#include <limits>

namespace vx {

EngineSettings engine_settings;
int32_t engine_running = 0;

void unit1_startup() {
    engine_settings = EngineSettings{};
    engine_running = 0;
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
    fixed_size = true;
    caption_buttons = true;
    create_engine_panel();
    create_rack();
}

TForm1::~TForm1() { destroy_rack(); }

void TForm1::FormShow() {
    if (first_show_done_) return;
    first_show_done_ = true;
    show_devices();
    for (int n = 1; n <= kSlots; ++n) fill_kind_selector(slot(n).kind);
    build_rack();
}

bool TForm1::FormClose() {
    if (BitBtn_Reset.enabled()) drivers_.stop_and_close_wave_in();
    drivers_.CloseDSound();
    return true;
}

int32_t TForm1::read_usefastwdm() const {
    CSimpleIniA ini;
    if (ini.LoadFile((program_folder_ / "face.ini").c_str()) < 0) return 0;
    return static_cast<int32_t>(ini.GetLongValue("Wave Devices", "usefastwdm", 0));
}

}  // namespace vx
