// What the fuzz targets share: the input as a file the program can open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// The input bytes in an anonymous memory file, reachable by a path.
class InputFile {
  public:
    InputFile(const std::uint8_t* data, std::size_t size) {
        fd_ = ::memfd_create("norvakel-fuzz", MFD_CLOEXEC);
        if (fd_ < 0) std::abort();
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~InputFile() { ::close(fd_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    const std::string& Path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// A property of the program that an input broke: stop with a report.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

} // namespace fuzz
