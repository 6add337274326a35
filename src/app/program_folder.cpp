#include "program_folder.h"

#include <cstdlib>
#include <system_error>

namespace vx {

std::filesystem::path program_folder(const std::string& home_option) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p;
    if (!home_option.empty()) {
        p = home_option;
    } else if (const char* env = std::getenv("VARNOMIX_HOME"); env != nullptr && *env != '\0') {
        p = env;
    } else {
        const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
        p = ec ? fs::current_path(ec) : exe.parent_path();
    }
    fs::path abs = fs::absolute(p, ec);
    return (ec ? p : abs).lexically_normal();
}

}  // namespace vx
