// varnomix: the live guitar effects processor. The desktop program, or with --nogui the live
// engine without windows; --list-devices and --list-midi print the devices and MIDI sources.
#include <cstdio>
#include <string>
#include <string_view>

#include "app/nogui.h"
#include "engine/program_folder.h"
#ifdef VX_WITH_GUI
#include "gui_main.h"
#endif

int main(int argc, char** argv) {
    bool help = false, nogui = false;
    // Which program runs; each reads its options itself. What follows "--" is no option.
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        const std::string a = argv[i];
        if (a == "--version") {
            std::printf("varnomix %s\n", vx::version());
            return 0;
        }
        help = help || a == "--help" || a == "-h";
        nogui = nogui || a == "--nogui" || a == "--list-devices" || a == "--list-midi";
    }
    // Plain --help shows the options of both modes; the manual page is made from it.
    if (help && !nogui) {
#ifdef VX_WITH_GUI
        char* gui_help[] = {argv[0], const_cast<char*>("--help"), nullptr};
        vx::run_gui(2, gui_help);
        std::printf("\n");
#endif
        char* nogui_help[] = {argv[0], const_cast<char*>("--nogui"), const_cast<char*>("--help"), nullptr};
        return vx::run_nogui(3, nogui_help);
    }
    if (nogui) return vx::run_nogui(argc, argv);
#ifdef VX_WITH_GUI
    return vx::run_gui(argc, argv);
#else
    std::fprintf(stderr,
                 "varnomix: this build has no desktop program; use --nogui for the live engine without windows\n"
                 "  (varnomix --nogui --help lists its options)\n");
    return 2;
#endif
}
