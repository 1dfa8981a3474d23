// Loading the program's own shared libraries (the report engine).
#include "platform/platform.h"

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

std::string ProgramFolder() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.find_last_of(Separator);
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

Library LoadLibrary(const std::string& fileName, const std::vector<std::string>& folders) {
    Library library;
    library.notFound = true;
    for (std::string folder : folders) {
        if (folder.empty()) continue;
        if (folder.back() != Separator) folder += Separator;
        const std::string path = folder + fileName;
        if (!IsOrdinaryFile(path)) continue;
        library.notFound = false;
        // Only full paths: the loader's own search (LD_LIBRARY_PATH and the
        // like) never decides which report engine runs.
        library.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library.handle == nullptr) {
            const char* error = dlerror();
            library.error = error != nullptr ? error : path;
        }
        return library;
    }
    return library;
}

void* LibrarySymbol(const Library& library, const char* name) {
    if (library.handle == nullptr) return nullptr;
    return dlsym(library.handle, name);
}

void FreeLibrary(Library& library) {
    if (library.handle != nullptr) dlclose(library.handle);
    library.handle = nullptr;
}

void Sleep(int milliseconds) {
    timespec wait{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

} // namespace platform
