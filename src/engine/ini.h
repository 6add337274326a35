// Settings files ("face.ini" and the effects' own): INI text with the profile rules that files
// written by other tools rely on. Sections and keys match without regard to case, an update keeps
// the other sections, keys and comments of the file, integers may be written "0x" hexadecimal, and
// an unreadable integer reads as the caller's default. Built on SimpleIni.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vx {

class IniFile {
public:
    // Reads `path` if it is a regular file of at most kMaxFileBytes; anything else (missing,
    // unreadable, a folder, a FIFO, a huge file) reads as an empty one.
    explicit IniFile(std::string path);
    static constexpr std::uintmax_t kMaxFileBytes = 1 << 20;
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const std::string& path() const { return path_; }
    bool has_key(const std::string& section, const std::string& key) const;
    int32_t read_int(const std::string& section, const std::string& key, int32_t fallback) const;
    std::string read_string(const std::string& section, const std::string& key, const std::string& fallback) const;

    void write_int(const std::string& section, const std::string& key, int32_t value);
    void write_string(const std::string& section, const std::string& key, const std::string& value);

    // Writes the file beside itself under a temporary name and renames it, so that a failed write
    // never leaves a truncated settings file. Returns "" or the reason.
    std::string save();

private:
    struct Impl;
    std::string path_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vx
