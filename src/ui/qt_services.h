// The desktop services for the Qt program: message boxes, file dialogs, the mouse pointer, the
// browser, the end of the event loop, and the skin engine (zip archives unpacked into temp/, whose
// skin.ini names a Qt style sheet).
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/services.h"

namespace vx {

class QtServices : public Services {
public:
    // Dialogs are centred on `parent` (the main window) when there is one.
    explicit QtServices(QWidget* parent = nullptr) : parent_(parent) {}
    void set_parent(QWidget* parent) { parent_ = parent; }

    void message(const std::string& text) override;
    void warning(const std::string& text) override;
    bool confirm(const std::string& text) override;
    std::optional<std::string> open_file(const FileDialog& d) override;
    std::optional<std::string> save_file(const FileDialog& d) override;
    Point pointer() override;
    void move_pointer(Point p) override;
    void open_url(const std::string& url) override;
    void open_folder(const std::string& path) override;
    void quit(int exit_status) override;
    bool unpack_skin(const std::string& zip_path, const std::string& folder) override;
    void load_skin(Form& window, const std::string& skin_ini_path) override;
    std::string skin_name() override;

    // The status passed to quit(), or -1 while nobody asked to quit.
    int quit_status() const { return quit_status_; }

private:
    std::optional<std::string> file_dialog(const FileDialog& d, bool save);

    QPointer<QWidget> parent_;
    int quit_status_ = -1;
};

}  // namespace vx
