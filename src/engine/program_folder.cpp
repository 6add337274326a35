#include "program_folder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

#ifndef VX_VERSION
#define VX_VERSION "0"
#endif

namespace vx {

const char* version() { return VX_VERSION; }

std::filesystem::path user_program_folder() {
    namespace fs = std::filesystem;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') return fs::path(xdg) / "varnomix";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/tmp";
    }
    return fs::path(home) / ".local" / "share" / "varnomix";
}

std::filesystem::path installed_share_folder(const std::filesystem::path& exe_folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A build folder has the cache of its configuration; an installed bin/ never does.
    if (fs::exists(exe_folder / "CMakeCache.txt", ec)) return {};
    const fs::path share = (exe_folder.parent_path() / "share" / "varnomix").lexically_normal();
    return fs::is_directory(share / "PRESETS", ec) ? share : fs::path{};
}

std::string seed_program_folder(const std::filesystem::path& folder, const std::filesystem::path& share) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* sub : {"PRESETS", "SKINS", "temp"}) {
        fs::create_directories(folder / sub, ec);
        if (ec) return "cannot create the folder \"" + (folder / sub).string() + "\": " + ec.message();
    }
    const fs::path stamp = folder / ".factory-files";
    {
        std::ifstream in(stamp);
        std::string seeded;
        if (in && std::getline(in, seeded) && seeded == version()) return "";
    }
    std::string problems;
    auto copy_missing = [&](const fs::path& from, const fs::path& to) {
        std::error_code e;
        if (fs::exists(to, e) || fs::is_symlink(to, e)) return;
        if (!fs::copy_file(from, to, fs::copy_options::skip_existing, e) && e)
            problems += "\n  " + to.string() + ": " + e.message();
    };
    for (const char* sub : {"PRESETS", "SKINS"}) {
        for (fs::directory_iterator it(share / sub, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code e;
            if (it->is_regular_file(e)) copy_missing(it->path(), folder / sub / it->path().filename());
        }
        ec.clear();
    }
    if (fs::exists(share / "demo1.wav", ec)) copy_missing(share / "demo1.wav", folder / "demo1.wav");
    if (!problems.empty()) return "some factory files could not be copied:" + problems;
    std::ofstream out(stamp, std::ios::trunc);
    out << version() << "\n";
    return "";
}

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
        if (const fs::path share = ec ? fs::path{} : installed_share_folder(p); !share.empty()) {
            p = user_program_folder();
            // The program still starts: it says what is missing when it needs it.
            if (const std::string why = seed_program_folder(p, share); !why.empty())
                std::fprintf(stderr, "varnomix: %s\n", why.c_str());
        }
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
