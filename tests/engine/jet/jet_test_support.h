// Shared by the Access (Jet 4) driver's tests.
#pragma once

#include "engine/engine.h"
#include "engine/engine_errors.h"
#include "engine/engine_rows.h"
#include "engine/jet/jet_check.h"
#include "engine/jet/jet_driver.h"
#include "engine/jet/jet_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace engine::jet::testing {

using engine::testing::ErrorNumber;

inline std::string Sample(const std::string& name) {
    return std::string(NORVAKEL_TESTDATA) + "/jet/" + name;
}

inline bool HaveSample(const std::string& name) {
    return std::filesystem::exists(Sample(name));
}

// A writable copy of a sample.
inline void CopySample(const std::string& name, const std::string& to) {
    std::filesystem::copy_file(Sample(name), to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// Output of a test tool run on a path the test made (no quotes in it).
inline std::string RunTool(const std::string& command, int* status = nullptr) {
    std::string out;
    std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    const int rc = ::pclose(pipe);
    if (status != nullptr) *status = rc;
    return out;
}

inline bool HaveTool(const std::string& name) {
    int status = 0;
    RunTool("command -v " + name, &status);
    return status == 0;
}

inline std::vector<std::string> Problems(const std::string& path) {
    auto file = JetFile::Open(path, false);
    return CheckStructure(*file);
}

// A way to damage a sound file, named for the failure messages.
struct Damage {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> apply;
};

// Writes each damaged copy of `sound` to `path` and expects the checker to
// flag it (JET_CHECK_VERBOSE=1 prints the first problem of each).
inline void ExpectEachDamageFlagged(const std::vector<std::uint8_t>& sound,
                                    const std::vector<Damage>& damages, const std::string& path) {
    for (const Damage& d : damages) {
        auto bytes = sound;
        d.apply(bytes);
        ASSERT_NE(bytes, sound) << d.what;
        WriteBytes(path, bytes);
        const auto problems = Problems(path);
        EXPECT_FALSE(problems.empty()) << d.what;
        if (std::getenv("JET_CHECK_VERBOSE") != nullptr && !problems.empty())
            std::printf("%s: %s\n", d.what, problems.front().c_str());
    }
}

} // namespace engine::jet::testing
