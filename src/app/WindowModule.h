#pragma once

// Opens the window: loads the kestrune-window module (beside the program, else from the
// installed module folder) and runs it. The GUI libraries come with the module, so a headless
// run never maps them. Returns the window's exit code, or 2 after saying why it could not load.
int RunWindowModule(int argc, char** argv);
