// The program folder: PRESETS/, SKINS/, temp/, face.ini and the other files the program keeps.
#pragma once

#include <filesystem>
#include <string>

namespace vx {

// --home DIR if given (non-empty), else $VARNOMIX_HOME if set and non-empty, else the folder of
// the running executable (the current folder if that cannot be read). Always absolute.
std::filesystem::path program_folder(const std::string& home_option = "");

}  // namespace vx
