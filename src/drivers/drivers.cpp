#include "drivers.h"

#include "portaudio_backend.h"

namespace vx {

LibraryDrivers::LibraryDrivers(const std::string& wav_output_path) { set_wav_output_path(wav_output_path); }

LibraryDrivers::~LibraryDrivers() {
    vx::stop_and_close_wave_in();
    vx::CloseDSound();
    pa::shutdown();
}

}  // namespace vx
