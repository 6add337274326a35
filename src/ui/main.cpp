// varnomix: the live guitar effects processor. The desktop program, or with --nogui the live
// engine without windows; --list-devices and --list-midi print the devices and MIDI sources.
#include <cstdio>
#include <string>

#include "app/nogui.h"
#ifdef VX_WITH_GUI
#include "gui_main.h"
#endif

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--nogui" || a == "--list-devices" || a == "--list-midi") return vx::run_nogui(argc, argv);
    }
#ifdef VX_WITH_GUI
    return vx::run_gui(argc, argv);
#else
    std::fprintf(stderr,
                 "varnomix: this build has no desktop program; use --nogui for the live engine without windows\n"
                 "  (varnomix --nogui --help lists its options)\n");
    return 2;
#endif
}
