#pragma once
#include <string>

// Loads one of the program's modules (the window, the keyring): beside the program in a build
// tree, else from the installed module folder, found from the program's folder first so that a
// package unpacked elsewhere still works. Null, with the loader's reason, when none loads.
void* LoadKestruneModule(const char* name, std::string& error);
