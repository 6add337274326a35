// varnomix: the live guitar effects processor. For now the headless live mode (--nogui) and the
// device list; the desktop program joins here.
#include <cstdio>
#include <string>

#include "app/nogui.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--nogui" || a == "--list-devices") return vx::run_nogui(argc, argv);
    }
    std::fprintf(stderr,
                 "varnomix: the desktop program is not built yet; use --nogui for the live engine without windows\n"
                 "  (varnomix --nogui --help lists its options)\n");
    return 2;
}
