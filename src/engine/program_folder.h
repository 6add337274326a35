// The program folder: PRESETS/, SKINS/, temp/, face.ini and the other files the program keeps.
#pragma once

#include <filesystem>
#include <functional>
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

// Settings files of the program folder written by effects ("MTEQ.ini"). The tools and the headless
// mode read them but never write them: they switch writing off at start.
void set_settings_read_only(bool read_only);
bool settings_read_only();
// How an effect tells the user that a settings file could not be written: the desktop program shows
// a message box; without a reporter the text goes to stderr. User-interface thread only.
void set_settings_reporter(std::function<void(const std::string&)> reporter);
void report_settings_problem(const std::string& text);

// The names (without folder) of the regular files in `folder` whose names start with `prefix` and
// end with `extension`, both ignoring case, as a wildcard "prefix*extension" finds them; sorted
// ignoring case, so that lists and F-keys find them in the same order on every file system. Empty
// when the folder cannot be read.
std::vector<std::string> list_files(const std::string& folder, const std::string& prefix, const std::string& extension);

}  // namespace vx
