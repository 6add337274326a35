#include "console_services.h"

#include "app/skin_archive.h"

namespace vx {

void ConsoleServices::message(const std::string& text) { std::fprintf(out_, "varnomix: %s\n", text.c_str()); }

void ConsoleServices::warning(const std::string& text) {
    std::fprintf(out_, "varnomix: warning: %s\n", text.c_str());
}

void ConsoleServices::open_url(const std::string& url) { std::fprintf(out_, "varnomix: see %s\n", url.c_str()); }

void ConsoleServices::open_folder(const std::string& path) {
    std::fprintf(out_, "varnomix: the folder is %s\n", path.c_str());
}

void ConsoleServices::quit(int exit_status) {
    // The first request wins: a later, milder one must not hide a failure.
    if (!quit_status_) quit_status_ = exit_status;
}

bool ConsoleServices::unpack_skin(const std::string& zip_path, const std::string& folder) {
    return unpack_zip(zip_path, folder).empty();
}

void ConsoleServices::load_skin(Form&, const std::string& skin_ini_path) {
    SkinDescription skin;
    if (read_skin(skin_ini_path, skin)) skin_name_ = skin.name;
}

}  // namespace vx
