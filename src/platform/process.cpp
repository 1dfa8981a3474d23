// Starting programs and handing documents to the desktop. Nothing goes through
// a shell: the file is executed directly with at most one argument.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr int kStarted = 42; // any value above 32 means "started"

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == Separator) return folder + name;
    return folder + Separator + name;
}

// A bare name is looked up in the working folder first, then on PATH.
std::string ResolveProgram(const std::string& file, const std::string& directory) {
    if (file.find(Separator) != std::string::npos) {
        if (file.front() == Separator || directory.empty()) return file;
        return JoinPath(directory, file);
    }
    const std::string local = JoinPath(directory.empty() ? "." : directory, file);
    if (access(local.c_str(), F_OK) == 0) return local;
    const std::string path = GetEnv("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string candidate = JoinPath(path.substr(start, end - start), file);
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return local;
}

int ResultForErrno(int err, const std::string& program) {
    switch (err) {
    case ENOENT: {
        const size_t slash = program.find_last_of(Separator);
        if (slash != std::string::npos && slash > 0 && !IsFolder(program.substr(0, slash)))
            return 3;
        return 2;
    }
    case ENOTDIR:
        return 3;
    case ENOMEM:
    case EAGAIN:
    case E2BIG:
        return 8;
    default:
        return 5; // access denied, not executable, a folder, ...
    }
}

// Built before fork(): the child may only make async-signal-safe calls.
struct Environment {
    std::vector<std::string> entries = EnvironmentBlock();
    std::vector<char*> pointers;
    Environment() {
        pointers.reserve(entries.size() + 1);
        for (std::string& entry : entries)
            pointers.push_back(entry.data());
        pointers.push_back(nullptr);
    }
    char** get() { return pointers.data(); }
};

// A started program never shares our standard streams: what it writes must not
// mix into our output, and nobody reading our output should wait for it.
void RedirectToDevNull() {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) return;
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
}

// Forks a child that starts `argv` in a grandchild and reports on a pipe
// whether the exec worked. The child is reaped here; the grandchild belongs to
// init from then on, so nothing is left as a zombie.
int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  const std::string& directory) {
    Environment environment;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return 8;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return 8;
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
            // Started all the same, in the folder we were in.
        }
        RedirectToDevNull();
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(program.c_str(), argv.data(), environment.get());
        const int err = errno;
        (void)!::write(fds[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(fds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t got;
    while ((got = ::read(fds[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    if (got == static_cast<ssize_t>(sizeof err)) return ResultForErrno(err, program);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 8;
    return kStarted;
}

bool IsSchemeChar(char c, bool first) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (first) return letter;
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '.' || c == '-';
}

bool IsUrl(const std::string& text) {
    // A scheme of two characters or more, so that "C:\..." stays a path.
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2) return false;
    for (size_t i = 0; i < colon; ++i)
        if (!IsSchemeChar(text[i], i == 0)) return false;
    return true;
}

} // namespace

int StartProgram(const std::string& file, const std::optional<std::string>& argument,
                 const std::string& directory, int showCode) {
    // A NUL would cut the path short: such a text names no file.
    if (!IsUsablePath(file) || (argument && argument->find('\0') != std::string::npos)) return 2;
    const std::string program = ResolveProgram(file, directory);
    struct stat st {};
    if (::stat(program.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 5;
    std::vector<std::string> args{program};
    if (argument) args.push_back(*argument);
    // Standard streams go to /dev/null and the program runs in a session of its
    // own whatever the show code: no general way exists to hide its windows.
    (void)showCode;
    return SpawnDetached(program, args, directory);
}

int OpenWithDesktop(const std::string& document, const std::string& directory) {
    if (!IsUsablePath(document)) return 2;
    std::string target = document;
    if (!IsUrl(document)) {
        if (!document.empty() && document.front() != Separator)
            target = JoinPath(directory.empty() ? "." : directory, document);
        if (::access(target.c_str(), F_OK) != 0) return 2;
    }
    const std::string helper = ResolveProgram("xdg-open", "/nonexistent");
    if (::access(helper.c_str(), X_OK) != 0) return 31;

    // The helper gets a short grace period: a quick failure is reported, one
    // still running afterwards counts as handed over.
    Environment environment;
    const pid_t child = ::fork();
    if (child < 0) return 8;
    if (child == 0) {
        ::setsid();
        const pid_t opener = ::fork();
        if (opener < 0) ::_exit(31);
        if (opener == 0) {
            if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
            }
            RedirectToDevNull();
            char* argv[] = {const_cast<char*>(helper.c_str()), const_cast<char*>(target.c_str()),
                            nullptr};
            ::execve(helper.c_str(), argv, environment.get());
            ::_exit(126);
        }
        for (int waited = 0; waited < 1500; waited += 50) {
            int status = 0;
            if (::waitpid(opener, &status, WNOHANG) == opener)
                ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 31);
            const timespec pause{0, 50 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        ::_exit(0); // still running: handed over, and left to init
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status)) return 31;
    switch (WEXITSTATUS(status)) {
    case 0:
        return kStarted;
    case 2:
        return 2;
    default:
        return 31;
    }
}

} // namespace platform
