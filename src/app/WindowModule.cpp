#include "app/WindowModule.h"

#include "app/ModuleLoader.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace {
constexpr char kModuleName[] = "kestrune-window.so";
} // namespace

int RunWindowModule(int argc, char** argv)
{
    std::string error;
    void* module = LoadKestruneModule(kModuleName, error);
    if (!module) {
        std::fprintf(stderr, "kestrune: the window could not be loaded (%s); use --headless.\n",
                     error.empty() ? kModuleName : error.c_str());
        return 2;
    }
    using Entry = int (*)(int, char**);
    const auto run = reinterpret_cast<Entry>(::dlsym(module, "KestruneRunWindow"));
    if (!run) {
        std::fprintf(stderr, "kestrune: %s has no window entry point; use --headless.\n",
                     kModuleName);
        return 2;
    }
    // The module stays loaded to the end: objects it made may be destroyed at exit.
    return run(argc, argv);
}
