#include "skin_archive.h"

#include <zip.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "engine/ini.h"

namespace fs = std::filesystem;

namespace vx {

namespace {

bool safe_entry(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
    for (const auto& part : fs::path(name))
        if (part == "..") return false;
    return name.find(':') == std::string::npos;
}

}  // namespace

std::string unpack_zip(const std::string& zip_path, const std::string& folder, unsigned long long max_bytes) {
    int err = 0;
    zip_t* raw = zip_open(zip_path.c_str(), ZIP_RDONLY, &err);
    if (raw == nullptr) return "cannot open \"" + zip_path + "\"";
    std::unique_ptr<zip_t, void (*)(zip_t*)> z(raw, [](zip_t* p) { zip_discard(p); });
    const zip_int64_t n = zip_get_num_entries(z.get(), 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        const char* name = zip_get_name(z.get(), static_cast<zip_uint64_t>(i), 0);
        if (name == nullptr || !safe_entry(name)) return "\"" + zip_path + "\" holds an unsafe file name";
    }
    const std::string too_big = "\"" + zip_path + "\" unpacks to more than " + std::to_string(max_bytes >> 20) + " MB";
    unsigned long long declared = 0;
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE)) {
            declared += st.size;
            if (st.size > max_bytes || declared > max_bytes) return too_big;
        }
    }
    // Declared sizes may lie: the bytes written are counted too.
    unsigned long long written = 0;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return "cannot create \"" + folder + "\"";
    std::vector<char> buf(65536);
    for (zip_int64_t i = 0; i < n; ++i) {
        const std::string name = zip_get_name(z.get(), static_cast<zip_uint64_t>(i), 0);
        const fs::path target = fs::path(folder) / name;
        if (name.back() == '/') {
            fs::create_directories(target, ec);
            continue;
        }
        fs::create_directories(target.parent_path(), ec);
        zip_file_t* zf = zip_fopen_index(z.get(), static_cast<zip_uint64_t>(i), 0);
        if (zf == nullptr) return "cannot read \"" + name + "\" in \"" + zip_path + "\"";
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        bool ok = static_cast<bool>(out);
        for (zip_int64_t got; ok && (got = zip_fread(zf, buf.data(), buf.size())) != 0;) {
            if (got < 0) {
                ok = false;
                break;
            }
            written += static_cast<unsigned long long>(got);
            if (written > max_bytes) {
                zip_fclose(zf);
                out.close();
                fs::remove(target, ec);
                return too_big;
            }
            out.write(buf.data(), got);
            ok = static_cast<bool>(out);
        }
        zip_fclose(zf);
        if (!ok) return "cannot unpack \"" + name + "\" into \"" + folder + "\"";
    }
    return "";
}

bool read_skin(const std::string& skin_ini_path, SkinDescription& out) {
    if (!fs::exists(skin_ini_path)) return false;
    IniFile ini(skin_ini_path);
    out.name = ini.read_string("Skin", "Name", "");
    out.style_sheet.clear();
    const std::string sheet = ini.read_string("Skin", "StyleSheet", "");
    if (!sheet.empty() && safe_entry(sheet)) {
        std::ifstream in(fs::path(skin_ini_path).parent_path() / sheet);
        std::stringstream ss;
        ss << in.rdbuf();
        out.style_sheet = ss.str();
    }
    return true;
}

}  // namespace vx
