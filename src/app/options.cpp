#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vx {

namespace {

// getopt_long's codes for the long options: past every char.
constexpr int kLongBase = 0x100;

// "--name" of "--name=value".
std::string option_word(const char* arg) {
    const std::string a = arg;
    return a.substr(0, a.find('='));
}

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& args, std::span<const OptionSpec> specs) {
    ParsedOptions out;
    std::vector<std::string> names;  // without "--", kept alive for getopt
    names.reserve(specs.size());
    std::vector<option> longopts;
    // "-": every argument that is no option comes back in its place; ":": a missing value is told apart.
    std::string shorts = "-:";
    for (size_t i = 0; i < specs.size(); ++i) {
        names.emplace_back(specs[i].name.substr(2));
        if (specs[i].short_name != 0) {
            shorts += specs[i].short_name;
            if (specs[i].takes_value) shorts += ':';
        }
    }
    for (size_t i = 0; i < specs.size(); ++i)
        longopts.push_back({names[i].c_str(), specs[i].takes_value ? required_argument : no_argument, nullptr,
                            kLongBase + static_cast<int>(i)});
    longopts.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("varnomix");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    auto spec_of = [&](int code) -> const OptionSpec* {
        if (code >= kLongBase && code < kLongBase + static_cast<int>(specs.size())) return &specs[code - kLongBase];
        for (const OptionSpec& s : specs)
            if (s.short_name != 0 && s.short_name == code) return &s;
        return nullptr;
    };

    optind = 0;  // a fresh scan (glibc), whatever an earlier parse left
    opterr = 0;  // the messages are ours
    for (;;) {
        const int at = optind == 0 ? 1 : optind;  // the argument a long option is read from
        const int c = getopt_long(argc, argv.data(), shorts.c_str(), longopts.data(), nullptr);
        if (c == -1) break;
        if (c == 1) {
            out.items.push_back({"", optarg});
            continue;
        }
        if (c == ':') {
            const OptionSpec* s = spec_of(optopt);
            out.error = s ? std::string(s->name) + " " + std::string(s->missing) : "an option needs a value";
            return out;
        }
        if (c == '?') {
            if (const OptionSpec* s = optopt >= kLongBase ? spec_of(optopt) : nullptr)
                out.error = std::string(s->name) + " takes no value";
            else if (optopt != 0)
                out.error = "unknown option \"-" + std::string(1, static_cast<char>(optopt)) + "\" (see --help)";
            else
                out.error = "unknown option \"" + option_word(argv[at]) + "\" (see --help)";
            return out;
        }
        const OptionSpec* s = spec_of(c);
        if (s == nullptr) {
            out.error = "unknown option (see --help)";
            return out;
        }
        // getopt_long takes any unambiguous beginning of a name; we take whole names only.
        if (c >= kLongBase && option_word(argv[at]) != s->name) {
            out.error = "unknown option \"" + option_word(argv[at]) + "\" (see --help)";
            return out;
        }
        out.items.push_back({std::string(s->name), s->takes_value && optarg ? optarg : ""});
    }
    // What follows "--".
    for (int i = optind; i < argc; ++i) out.items.push_back({"", argv[static_cast<size_t>(i)]});
    return out;
}

std::string expand_argument_files(std::vector<std::string>& args) {
    // More than any list of options a person writes; a device or a huge file is refused before it is read.
    constexpr std::uintmax_t kMaxBytes = 1 << 20;
    std::vector<std::string> out;
    bool options_ended = false;
    for (const std::string& a : args) {
        options_ended = options_ended || a == "--";
        if (options_ended || a.size() < 2 || a[0] != '@') {
            out.push_back(a);
            continue;
        }
        const std::string path = a.substr(1);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec))
            return "cannot read the argument file \"" + path + "\"" +
                   (std::filesystem::exists(path, ec) ? ": not a regular file" : ": no such file");
        const auto size = std::filesystem::file_size(path, ec);
        if (ec || size > kMaxBytes) return "the argument file \"" + path + "\" is larger than 1 MB";
        std::ifstream in(path);
        if (!in) return "cannot read the argument file \"" + path + "\"";
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
            const size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#') continue;
            line = line.substr(start);
            const size_t blank = line.find_first_of(" \t");
            // An argument that is no option, or "--name=value", is the whole line, blanks and all.
            if (line[0] != '-' || blank == std::string::npos || line.find('=') < blank) {
                out.push_back(line);
                continue;
            }
            out.push_back(line.substr(0, blank));
            out.push_back(line.substr(line.find_first_not_of(" \t", blank)));
        }
    }
    args = std::move(out);
    return "";
}

std::optional<std::pair<int, std::string>> parse_slot_and_file(const std::string& value, int slots) {
    const size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || colon + 1 == value.size()) return std::nullopt;
    int slot = 0;
    for (size_t i = 0; i < colon; ++i) {
        if (value[i] < '0' || value[i] > '9') return std::nullopt;
        slot = slot * 10 + (value[i] - '0');
    }
    if (slot < 1 || slot > slots) return std::nullopt;
    return std::pair{slot, value.substr(colon + 1)};
}

int usage_error(std::string_view program, std::string_view message) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(program.size()), program.data(),
                 static_cast<int>(message.size()), message.data());
    return 2;
}

}  // namespace vx
