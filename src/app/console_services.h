// Services for the headless mode: messages go to the standard error stream, dialogs are answered
// "cancel", there is no pointer or browser, and ending the program is a request that the main loop
// reads. Skins are unpacked and read for their names; without windows they change no look.
#pragma once

#include <cstdio>
#include <optional>

#include "app/services.h"

namespace vx {

class ConsoleServices : public Services {
public:
    explicit ConsoleServices(std::FILE* out = stderr) : out_(out) {}

    void message(const std::string& text) override;
    void warning(const std::string& text) override;
    // Nobody to ask: the answer is no, so nothing is replaced.
    bool confirm(const std::string&) override { return false; }
    std::optional<std::string> open_file(const FileDialog&) override { return std::nullopt; }
    std::optional<std::string> save_file(const FileDialog&) override { return std::nullopt; }
    Point pointer() override { return {}; }
    void move_pointer(Point) override {}
    void open_url(const std::string& url) override;
    void open_folder(const std::string& path) override;
    void quit(int exit_status) override;
    bool unpack_skin(const std::string& zip_path, const std::string& folder) override;
    void load_skin(Form& window, const std::string& skin_ini_path) override;
    std::string skin_name() override { return skin_name_; }

    // The exit status asked for by quit, if it was called.
    std::optional<int> quit_requested() const { return quit_status_; }

private:
    std::FILE* out_;
    std::optional<int> quit_status_;
    std::string skin_name_;
};

}  // namespace vx
