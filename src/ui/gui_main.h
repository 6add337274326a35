// The desktop program's start: makes the application object and runs what the command line asks.
#pragma once

namespace vx {

// Returns the process exit status.
//   (no option) [--home DIR]             the main window on the real drivers, until it closes
//   --screenshot FILE.png [--home DIR]   the main window after its first show, written as PNG
//   --screenshot-editor KIND FILE.png    a new instance's editor, drawn offscreen, written as PNG
// Screenshots draw offscreen unless QT_QPA_PLATFORM says otherwise; bad requests exit with 2.
int run_gui(int argc, char** argv);

// Drops the notices of a platform that cannot raise or size windows (offscreen drawing), which
// say nothing to a user; every other message passes.
void quiet_platform_notices();

}  // namespace vx
