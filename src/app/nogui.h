// varnomix --nogui: the live engine without windows, for a headless rig. Drives the main window's
// engine panel through its controls, as a user would, and prints a meter line every second.
#pragma once

namespace vx {

// Exit status: 0 after a clean stop, 1 when a device failed, 2 for a usage error (an unknown
// option, device or rate).
int run_nogui(int argc, char** argv);

}  // namespace vx
