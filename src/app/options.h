// The command line of every Varnomix program, read by one parser (glibc's getopt_long): each
// program declares its options in a table, and gets back the options and other arguments in the
// order given, so that options that build something (a chain) act in that order.
//   --name VALUE and --name=VALUE are the same; "--" ends the options; names are spelt out in
//   full (no abbreviations, so that an option file keeps its meaning when an option is added).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx {

struct OptionSpec {
    std::string_view name;                    // "--fx"
    bool takes_value = false;
    std::string_view missing = "needs a value";  // the usage error after the name when the value is missing
    char short_name = 0;                      // 'h' for -h, or 0
};

struct OptionItem {
    std::string name;  // as declared ("--fx", also for -h its long name), or "" for an argument that is no option
    std::string value;
    bool is(std::string_view n) const { return name == n; }
    bool positional() const { return name.empty(); }
};

struct ParsedOptions {
    std::vector<OptionItem> items;  // in the order given; on an error, those before it
    std::string error;              // "" or the usage error, one line
    bool ok() const { return error.empty(); }
};

// Reads args (without the program name) against the table.
ParsedOptions parse_options(const std::vector<std::string>& args, std::span<const OptionSpec> specs);

// Replaces every argument "@FILE" before a "--" by the arguments written in FILE, one a line: an
// option, a blank and its value ("--fx noise gate"), "--name=value", or an option alone. Blank
// lines and lines that begin with '#' are skipped; FILE must be a regular file of at most 1 MB.
// "" or the message.
std::string expand_argument_files(std::vector<std::string>& args);

// "S:FILE" (the value of --record): the slot, 1..slots, and the file; nullopt if malformed.
std::optional<std::pair<int, std::string>> parse_slot_and_file(const std::string& value, int slots);

// Prints "program: message" on stderr and gives the exit status of a usage error, 2.
int usage_error(std::string_view program, std::string_view message);

}  // namespace vx
