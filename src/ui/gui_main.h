// The desktop program's start: makes the application object and runs what the command line asks.
#pragma once

class QWidget;

namespace vx {

class MidiControl;

// Returns the process exit status.
//   (no option) [--home DIR]             the main window on the real drivers, until it closes
//   --screenshot FILE.png [--home DIR]   the main window after its first show, written as PNG
//   --screenshot-editor KIND FILE.png    a new instance's editor, drawn offscreen, written as PNG
// Screenshots draw offscreen unless QT_QPA_PLATFORM says otherwise; bad requests exit with 2.
int run_gui(int argc, char** argv);

// Drops the notices of a platform that cannot raise or size windows (offscreen drawing), which
// say nothing to a user; every other message passes.
void quiet_platform_notices();

// From now on SIGTERM and SIGINT (a logout, Ctrl+C in a terminal) close `window` as its close button
// does, so that what closing keeps is kept. The handler only writes to a pipe; the window is closed
// from the event loop.
void close_on_termination_signals(QWidget* window);

// "MIDI learn" and "MIDI forget" on the right-click menu of every slider and check box that a
// binding can name (an editor's in a slot, a slot's On/Off).
void offer_midi_menu(MidiControl& midi);

}  // namespace vx
