#include "app/ModuleLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#ifndef KESTRUNE_MODULEDIR
#define KESTRUNE_MODULEDIR "/usr/lib/kestrune"
#endif

namespace {

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

void* LoadKestruneModule(const char* name, std::string& error)
{
    const std::string folder = ProgramFolder();
    for (const std::string& candidate :
         {folder + name, folder + "../lib/kestrune/" + name,
          std::string(KESTRUNE_MODULEDIR "/") + name}) {
        if (candidate.front() != '/')
            continue;
        if (void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL))
            return module;
        if (const char* why = ::dlerror(); why && error.empty())
            error = why;
    }
    return nullptr;
}
