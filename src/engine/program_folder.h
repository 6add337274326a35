// The program folder: PRESETS/, SKINS/, temp/, face.ini and the other files the program keeps.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vx {

// --home DIR if given (non-empty), else $VARNOMIX_HOME if set and non-empty, else the folder of
// the running executable (the current folder if that cannot be read). Always absolute.
std::filesystem::path program_folder(const std::string& home_option = "");

// The program folder the running program uses, where effects keep their settings files. The desktop
// program, the headless mode and the tools set it at start, before any effect is created; until then
// it is program_folder(). User-interface thread only.
void set_program_home(const std::filesystem::path& folder);
std::filesystem::path program_home();

// Settings files of the program folder may be read but not created or rewritten: the tools and the
// headless mode leave the desktop program's settings as they were. Off unless a program sets it.
void set_settings_read_only(bool read_only);
bool settings_read_only();

// The names (without folder) of the regular files in `folder` whose names start with `prefix` and
// end with `extension`, both ignoring case, as a wildcard "prefix*extension" finds them; sorted
// ignoring case, so that lists and F-keys find them in the same order on every file system. Empty
// when the folder cannot be read.
std::vector<std::string> list_files(const std::string& folder, const std::string& prefix, const std::string& extension);

}  // namespace vx
