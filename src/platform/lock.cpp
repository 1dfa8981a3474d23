// One run at a time. Deleting an open file succeeds here, so a second run
// could replace the scratch database under a first one; an abstract-namespace
// socket bound under a name derived from the database's path is the lock. The
// kernel releases it when the process ends, however it ends, and no file
// operation can break it.
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {
std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}
} // namespace

bool AcquireRunLock(const std::string& name) {
    static std::map<std::string, int> held;
    if (held.count(name) != 0) return true;
    // CLOEXEC: programs started by RUN must not inherit the lock.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    char id[64];
    std::snprintf(id, sizeof id, "norvakel-run-%016llx",
                  static_cast<unsigned long long>(Fnv1a(name)));
    const size_t len = std::strlen(id);
    std::memcpy(addr.sun_path + 1, id, len); // sun_path[0] == 0: abstract namespace
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0) {
        ::close(fd);
        return false;
    }
    held[name] = fd; // kept open until the process ends
    return true;
}

} // namespace platform
