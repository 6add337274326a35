#include "ini.h"

// Bytes in, bytes out: settings are ASCII, and this keeps ICU out of the build.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION  // the Debian header keeps the template bodies behind this
#include <SimpleIni.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vx {

struct IniFile::Impl {
    CSimpleIniA ini{false, false, false};  // case-insensitive (CSimpleIniA), no multi-keys or lines
};

IniFile::IniFile(std::string path) : path_(std::move(path)), impl_(std::make_unique<Impl>()) {
    impl_->ini.SetSpaces(false);  // key=value, as profile writers write it
    // Only a regular file of settings size: a FIFO would hang the reader, and a folder or a huge
    // file would have it reserve whatever size the system reports.
    std::error_code ec;
    const auto st = std::filesystem::status(path_, ec);
    if (ec || !std::filesystem::is_regular_file(st)) return;
    const auto size = std::filesystem::file_size(path_, ec);
    if (ec || size > kMaxFileBytes) return;
    if (impl_->ini.LoadFile(path_.c_str()) < 0) impl_->ini.Reset();
}

IniFile::~IniFile() = default;

bool IniFile::has_key(const std::string& section, const std::string& key) const {
    return impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr) != nullptr;
}

int32_t IniFile::read_int(const std::string& section, const std::string& key, int32_t fallback) const {
    const char* v = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
    if (v == nullptr) return fallback;
    const bool hex = v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const char* digits = hex ? v + 2 : v;
    if (*digits == '\0') return fallback;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || n < INT32_MIN || n > (hex ? static_cast<long long>(UINT32_MAX) : INT32_MAX))
        return fallback;
    // "0xFFFFFFFF" is -1, as a 32-bit profile reader sees it.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(n)));
}

std::string IniFile::read_string(const std::string& section, const std::string& key, const std::string& fallback) const {
    const char* v = impl_->ini.GetValue(section.c_str(), key.c_str(), nullptr);
    return v ? std::string(v) : fallback;
}

void IniFile::write_int(const std::string& section, const std::string& key, int32_t value) {
    write_string(section, key, std::to_string(value));
}

void IniFile::write_string(const std::string& section, const std::string& key, const std::string& value) {
    impl_->ini.SetValue(section.c_str(), key.c_str(), value.c_str());
}

std::string IniFile::save() {
    std::string text;
    if (impl_->ini.Save(text) < 0) return "cannot format \"" + path_ + "\"";
    const std::string tmp = path_ + ".part-" + std::to_string(::getpid());
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return "cannot write \"" + path_ + "\": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::remove(tmp.c_str());
        return "cannot write \"" + path_ + "\"";
    }
    if (std::rename(tmp.c_str(), path_.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(tmp.c_str());
        return "cannot write \"" + path_ + "\": " + why;
    }
    return "";
}

}  // namespace vx
