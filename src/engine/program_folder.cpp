#include "program_folder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

namespace {
std::filesystem::path& home_slot() {
    static std::filesystem::path home;
    return home;
}
}  // namespace

void set_program_home(const std::filesystem::path& folder) { home_slot() = folder; }

namespace {
bool& read_only_slot() {
    static bool read_only = false;
    return read_only;
}
}  // namespace

void set_settings_read_only(bool read_only) { read_only_slot() = read_only; }
bool settings_read_only() { return read_only_slot(); }

std::filesystem::path program_home() {
    if (home_slot().empty()) home_slot() = program_folder();
    return home_slot();
}

namespace {
std::function<void(const std::string&)>& reporter_slot() {
    static std::function<void(const std::string&)> reporter;
    return reporter;
}
}  // namespace

void set_settings_reporter(std::function<void(const std::string&)> reporter) { reporter_slot() = std::move(reporter); }

void report_settings_problem(const std::string& text) {
    if (reporter_slot())
        reporter_slot()(text);
    else
        std::fprintf(stderr, "varnomix: %s\n", text.c_str());
}

}  // namespace vx

namespace vx {

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::vector<std::string> list_files(const std::string& folder, const std::string& prefix, const std::string& extension) {
    namespace fs = std::filesystem;
    const std::string p = lower(prefix), e = lower(extension);
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (!it->is_regular_file(type_ec)) continue;
        const std::string name = it->path().filename().string();
        const std::string l = lower(name);
        if (l.size() >= p.size() + e.size() && l.starts_with(p) && l.ends_with(e)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const std::string la = lower(a), lb = lower(b);
        return la != lb ? la < lb : a < b;
    });
    return names;
}

}  // namespace vx
