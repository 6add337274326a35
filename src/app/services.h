// What the main window's logic needs from the desktop, without knowing which desktop: messages,
// file dialogs, the mouse pointer, the browser, ending the program, and the skin engine.
// The Qt program implements it; --nogui has a console implementation; tests use a scripted fake.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vx {

class Form;

class Services {
public:
    virtual ~Services() = default;

    // A plain message box with an OK button; returns when the user has answered.
    virtual void message(const std::string& text) = 0;
    // A warning dialog with an OK button.
    virtual void warning(const std::string& text) = 0;
    // A question with Yes and No buttons; true for Yes.
    virtual bool confirm(const std::string& text) = 0;

    struct FileDialog {
        std::string caption;
        std::string folder;                     // initial folder
        std::string file_name;                  // initial name
        std::vector<std::string> filters;       // e.g. "FX chain (*.pre)"
        std::string default_suffix;             // e.g. "pre"
        // Whether a save dialog asks before replacing the file chosen. A caller that changes the
        // name after the dialog asks for itself.
        bool confirm_overwrite = true;
    };
    // The chosen path, or nothing when the user cancelled.
    virtual std::optional<std::string> open_file(const FileDialog& d) = 0;
    virtual std::optional<std::string> save_file(const FileDialog& d) = 0;

    // The mouse pointer in screen coordinates.
    struct Point { int x = 0, y = 0; };
    virtual Point pointer() = 0;
    virtual void move_pointer(Point p) = 0;

    virtual void open_url(const std::string& url) = 0;
    // Shows a folder in the desktop's file manager.
    virtual void open_folder(const std::string& path) = 0;

    // Ends the program once the current handler returns, with this exit status.
    virtual void quit(int exit_status) = 0;

    // Skin engine: unpack a zip archive into a folder (false on failure), load a skin description
    // ("skin.ini") into a window, and report the name of the skin loaded last.
    virtual bool unpack_skin(const std::string& zip_path, const std::string& folder) = 0;
    virtual void load_skin(Form& window, const std::string& skin_ini_path) = 0;
    virtual std::string skin_name() = 0;
};

}  // namespace vx
