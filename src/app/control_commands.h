// Commands that change a running engine, one a line, for a headless rig (varnomix --nogui
// --commands). Each goes through what the user's action on the windows runs:
//   set S:NAME=VALUE   control NAME of the effect in slot S, as varnomix-render --set sets it
//   press S:NAME       clicks button NAME of the effect in slot S (a dialog it opens is cancelled)
//   preset FILE.pre    loads an FX chain file, as "Load FX chain" does
//   F1 .. F12          the function key: loads the preset of PRESETS/ whose name starts "Fn"
//   on S, off S        the on/off switch of slot S
//   stop               ends the run, as Ctrl+C does
// Blank lines and lines that begin with '#' are skipped.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace vx {

class TForm1;

struct CommandOutcome {
    std::string error;  // "" when the command ran; otherwise the message, and nothing changed
    bool stop = false;  // the line asked for the end of the run
};

// Runs one command line on the main window. Call it on the thread that owns the window.
CommandOutcome run_control_command(TForm1& form, const std::string& line);

// Reads command lines on a thread of its own and hands each to `on_line` (on that thread). A FIFO
// stays open for one writer after another; standard input or a plain file ends at its end.
class CommandReader {
public:
    static constexpr size_t kMaxLine = 4096;
    // `too_long` is set for a line over kMaxLine bytes; its text is then cut.
    using LineHandler = std::function<void(const std::string& line, bool too_long)>;

    CommandReader() = default;
    ~CommandReader() { stop(); }
    CommandReader(const CommandReader&) = delete;
    CommandReader& operator=(const CommandReader&) = delete;

    // Starts reading `path` ("-": standard input). "" or why it cannot be read.
    std::string start(const std::string& path, LineHandler on_line);
    // Ends the reading thread; a line not yet complete is dropped. Also waits for the end of a file.
    void stop();
    // Waits until the input has ended (never for a FIFO: stop() ends that).
    void wait_for_end();

private:
    void run();

    int fd_ = -1;
    bool own_fd_ = false;
    int wake_[2] = {-1, -1};
    LineHandler on_line_;
    std::thread thread_;
};

}  // namespace vx
