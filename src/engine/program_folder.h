// The program folder: PRESETS/, SKINS/, temp/, face.ini and the other files the program keeps.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vx {

// --home DIR if given (non-empty), else $VARNOMIX_HOME if set and non-empty, else, for an installed
// program, the user's folder (user_program_folder(), seeded from the installed share folder), else
// the folder of the running executable (a build folder; the current folder if that cannot be read).
// Always absolute.
std::filesystem::path program_folder(const std::string& home_option = "");

// The version of the programs ("0.1").
const char* version();

// $XDG_DATA_HOME/varnomix, or ~/.local/share/varnomix when that is unset or not absolute.
std::filesystem::path user_program_folder();
// PREFIX/share/varnomix for a program installed as PREFIX/bin/NAME; empty for a program that runs
// from its build folder.
std::filesystem::path installed_share_folder(const std::filesystem::path& exe_folder);
// Creates `folder` with PRESETS/, SKINS/ and temp/, and copies into it the factory files of `share`
// (PRESETS/, SKINS/, demo1.wav) that it lacks; a file the user has is never replaced. Done once per
// version, so that a factory preset the user deleted stays deleted until the next version comes.
// "" or what went wrong.
std::string seed_program_folder(const std::filesystem::path& folder, const std::filesystem::path& share);

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
