#include "control_commands.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "app/Unit1.h"
#include "app/chain_file.h"
#include "engine/program_folder.h"
#include "tools/chain_builder.h"

namespace vx {

namespace {

const char* const kHint = "(varnomix-preset show FILE.pre lists the controls)";

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The slot a word names, 1..16, or 0 with the message in `why`.
int slot_of(const std::string& command, const std::string& word, std::string& why) {
    int n = 0;
    if (word.empty()) {
        why = command + " needs a slot number 1..16";
        return 0;
    }
    if (!parse_int(word, n) || n < 1 || n > TForm1::kSlots) {
        why = command + " \"" + word + "\": the slot is a number 1..16";
        return 0;
    }
    return n;
}

// The n of "F<n>" (1..12), else 0.
int function_key_of(const std::string& word) {
    if (word.size() < 2 || word.size() > 3 || (word[0] != 'F' && word[0] != 'f')) return 0;
    int n = 0;
    if (!std::isdigit(static_cast<unsigned char>(word[1])) || !parse_int(word.substr(1), n)) return 0;
    return n >= 1 && n <= 12 && word[1] != '0' ? n : 0;
}

}  // namespace

CommandOutcome run_control_command(TForm1& form, const std::string& raw) {
    const std::string line = trimmed(raw);
    if (line.empty() || line[0] == '#') return {};
    const size_t blank = line.find_first_of(" \t");
    const std::string word = lower(line.substr(0, blank));
    const std::string rest = blank == std::string::npos ? "" : trimmed(line.substr(blank));
    CommandOutcome out;
    if (word == "set") {
        out.error = rest.empty() ? "set needs S:NAME=VALUE"
                                 : set_slot_control(form.rack_table(), rest, "set", kHint);
    } else if (word == "press") {
        const size_t colon = rest.find(':');
        std::string why;
        Control* c = colon == std::string::npos
                         ? nullptr
                         : find_slot_control(form.rack_table(), rest.substr(0, colon), rest.substr(colon + 1), kHint, why);
        if (colon == std::string::npos)
            out.error = "press needs S:NAME";
        else if (c == nullptr)
            out.error = "press \"" + rest + "\": " + why;
        else if (c->type() != Control::Type::Button)
            out.error = "press \"" + rest + "\": a " + std::string(Control::type_name(c->type())) + " is not pressed";
        else if (!c->enabled())
            out.error = "press \"" + rest + "\": the button is greyed out";
        else
            static_cast<Button*>(c)->click();
    } else if (word == "preset") {
        ChainFile probe;
        std::string why;
        if (rest.empty()) {
            out.error = "preset needs a FILE.pre";
        } else if (!read_chain_file(rest, probe, &why)) {
            out.error = "cannot read the FX chain file \"" + rest + "\": " + why;
        } else if (!form.load_chain_file(rest)) {
            out.error = "the FX chain file \"" + rest + "\" was not loaded";
        }
    } else if (word == "on" || word == "off") {
        if (const int n = slot_of(word, rest, out.error)) form.slot(n).onoff.set_checked(word == "on");
    } else if (const int key = function_key_of(word); key > 0 && rest.empty()) {
        const std::string folder = (form.program_folder() / "PRESETS").string();
        if (list_files(folder, fkey_prefix(key), ".pre").empty())
            out.error = "no preset of PRESETS/ starts with \"" + fkey_prefix(key) + "\"";
        else
            form.FormKeyUp(key);
    } else if (word == "stop" && rest.empty()) {
        out.stop = true;
    } else {
        out.error = "unknown command \"" + line + "\" (set S:NAME=VALUE, press S:NAME, preset FILE.pre, F1..F12, on S, off S, stop)";
    }
    return out;
}

std::string CommandReader::start(const std::string& path, LineHandler on_line) {
    stop();
    if (path == "-") {
        fd_ = STDIN_FILENO;
        own_fd_ = false;
    } else {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return "cannot read \"" + path + "\": " + std::strerror(errno);
        if (S_ISDIR(st.st_mode)) return "cannot read \"" + path + "\": it is a folder";
        // Open for writing too, so that a FIFO never ends when a writer goes: the next one is read.
        fd_ = ::open(path.c_str(), (S_ISFIFO(st.st_mode) ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (fd_ < 0) return "cannot read \"" + path + "\": " + std::strerror(errno);
        own_fd_ = true;
    }
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        const std::string why = std::strerror(errno);
        if (own_fd_) ::close(fd_);
        fd_ = -1;
        return "cannot start reading commands: " + why;
    }
    on_line_ = std::move(on_line);
    thread_ = std::thread([this] { run(); });
    return "";
}

void CommandReader::run() {
    std::string pending;
    bool too_long = false;
    char buf[1024];
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                on_line_(pending, too_long);
                pending.clear();
                too_long = false;
            } else if (pending.size() < kMaxLine) {
                pending += buf[i];
            } else {
                too_long = true;
            }
        }
    }
    // The last line of a file may lack its newline.
    if (!pending.empty() || too_long) on_line_(pending, too_long);
}

void CommandReader::wait_for_end() {
    if (thread_.joinable()) thread_.join();
}

void CommandReader::stop() {
    if (thread_.joinable()) {
        const char b = 1;
        [[maybe_unused]] const ssize_t w = ::write(wake_[1], &b, 1);
        thread_.join();
    }
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (own_fd_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
    own_fd_ = false;
}

}  // namespace vx
