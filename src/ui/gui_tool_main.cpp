// varnomix-gui: the Qt layer on its own, until it joins the main program.
#include "gui_main.h"

int main(int argc, char** argv) { return vx::run_gui(argc, argv); }
