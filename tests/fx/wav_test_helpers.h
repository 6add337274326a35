// Shared by the WAV player and recorder tests: scripted dialogs, a program folder of their own, and
// WAV files built byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine/effects.h"
#include "engine/forms.h"
#include "engine/program_folder.h"

namespace vx::test {

namespace fs = std::filesystem;

// Records every message and answers file dialogs from a queue (empty: cancelled).
class ScriptedDialogs : public EditorDialogs {
public:
    std::vector<std::string> said;  // "message: ..." or "warning: ..."
    std::deque<std::optional<std::string>> answers;
    std::vector<FileDialogRequest> asked;
    void message(const std::string& t) override { said.push_back("message: " + t); }
    void warning(const std::string& t) override { said.push_back("warning: " + t); }
    std::optional<std::string> open_file(const FileDialogRequest& r) override { return answer(r); }
    std::optional<std::string> save_file(const FileDialogRequest& r) override { return answer(r); }

private:
    std::optional<std::string> answer(const FileDialogRequest& r) {
        asked.push_back(r);
        if (answers.empty()) return std::nullopt;
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
};

// A fresh program folder and the scripted dialogs for each test.
class WavFolder : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        home = fs::temp_directory_path() / ("vx-wav-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home);
        saved_home = program_home();
        set_program_home(home);
        set_settings_read_only(false);
        before = set_editor_dialogs(&dialogs);
    }
    void TearDown() override {
        set_editor_dialogs(before);
        set_program_home(saved_home);
        set_settings_read_only(false);
        std::error_code ec;
        fs::permissions(home, fs::perms::owner_all, ec);
        fs::remove_all(home, ec);
    }
    fs::path home, saved_home;
    ScriptedDialogs dialogs;
    EditorDialogs* before = nullptr;
};

inline void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v);
    put16(b, v >> 16);
}
inline void put_text(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + std::strlen(t)); }

// A WAV file: RIFF header, a format chunk, optional chunks before "data", the data chunk.
struct WavLayout {
    uint16_t tag = 1;
    uint16_t channels = 2;
    uint32_t rate = 48000;
    uint16_t bits = 16;
    uint32_t format_size = 16;  // bytes of the format chunk; beyond 16 zero-filled (cbSize 0)
    std::vector<uint8_t> between;  // bytes between the format chunk and "data"
    std::vector<int16_t> samples;
    std::optional<uint32_t> declared;  // data size written in the header (default: the samples')
    int extra_byte = -1;               // an odd trailing byte of data, if >= 0
    std::vector<uint8_t> format_tail;  // bytes 16.. of the format chunk, if any

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b;
        put_text(b, "RIFF");
        put32(b, 0);
        put_text(b, "WAVEfmt ");
        put32(b, format_size);
        const size_t at = b.size();
        put16(b, tag);
        put16(b, channels);
        put32(b, rate);
        put32(b, rate * channels * (bits / 8));
        put16(b, static_cast<uint16_t>(channels * (bits / 8)));
        put16(b, bits);
        for (uint8_t x : format_tail) b.push_back(x);
        while (b.size() < at + format_size) b.push_back(0);
        b.resize(at + format_size);
        b.insert(b.end(), between.begin(), between.end());
        put_text(b, "data");
        const uint32_t held = static_cast<uint32_t>(samples.size() * 2 + (extra_byte >= 0 ? 1 : 0));
        put32(b, declared.value_or(held));
        for (int16_t s : samples) put16(b, static_cast<uint16_t>(s));
        if (extra_byte >= 0) b.push_back(static_cast<uint8_t>(extra_byte));
        const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
        std::memcpy(b.data() + 4, &riff, 4);
        return b;
    }
};

inline void write_file(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline std::vector<uint8_t> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace vx::test
