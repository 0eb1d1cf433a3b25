#include "ui/shell/WindowApp.h"

// The entry point that the program looks up when it loads this module to open its window.
extern "C" __attribute__((visibility("default"))) int KestruneRunWindow(int argc, char** argv)
{
    return RunWindowApp(argc, argv);
}
