// The Qt program's start: makes the application object and runs what the command line asks.
#pragma once

namespace vx {

// Returns the process exit status.
//   --screenshot-editor KIND FILE.png   a new instance's editor, drawn offscreen, written as PNG
int run_gui(int argc, char** argv);

// Drops the notices of a platform that cannot raise or size windows (offscreen drawing), which
// say nothing to a user; every other message passes.
void quiet_platform_notices();

}  // namespace vx
