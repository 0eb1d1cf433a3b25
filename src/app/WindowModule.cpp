#include "app/WindowModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#ifndef KESTRUNE_MODULEDIR
#define KESTRUNE_MODULEDIR "/usr/lib/kestrune"
#endif

namespace {

constexpr char kModuleName[] = "kestrune-window.so";

// The folder of the running program, with its final slash; empty when unknown.
std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string folder(path, static_cast<std::size_t>(n));
    const std::size_t slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

} // namespace

int RunWindowModule(int argc, char** argv)
{
    std::string error;
    void* module = nullptr;
    // A build tree keeps the module beside the program; an installation in its own folder,
    // found from the program's folder first so that a package unpacked elsewhere still works.
    const std::string folder = ProgramFolder();
    for (const std::string& candidate :
         {folder + kModuleName, folder + "../lib/kestrune/" + kModuleName,
          std::string(KESTRUNE_MODULEDIR "/") + kModuleName}) {
        if (candidate.front() != '/')
            continue;
        module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module)
            break;
        if (const char* why = ::dlerror(); why && error.empty())
            error = why;
    }
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
