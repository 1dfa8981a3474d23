// A new database against one the Jet engine itself created.
#include "engine/jet/jet_file.h"
#include "engine/jet/jet_writer.h"
#include "engine/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace engine::jet {
namespace {

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Bytes that Jet leaves as they were in memory (left over from earlier use)
// inside table definitions: they carry no meaning and are not compared.
std::vector<bool> LeftoverBytes(const std::vector<std::uint8_t>& file, std::uint32_t tdefPage) {
    std::vector<bool> skip(kPageSize, false);
    const std::uint8_t* d = file.data() + std::size_t(tdefPage) * kPageSize;
    for (std::size_t i = 32; i < 40; ++i)
        skip[i] = true;
    const std::uint32_t real = Get32(d + kTdefRealIndexes);
    const std::uint16_t columns = Get16(d + kTdefColumns);
    std::size_t at = kTdefBlockEnd;
    for (std::uint32_t i = 0; i < real; ++i, at += kTdefRealIndexSize) {
        // A statistic of the index that Jet refreshes only now and then.
        for (std::size_t k = 4; k < 8; ++k)
            skip[at + k] = true;
    }
    for (std::uint16_t i = 0; i < columns; ++i, at += kTdefColumnSize) {
        if ((d[at + 15] & kColFixed) == 0) skip[at + 21] = skip[at + 22] = true;
    }
    for (std::uint16_t i = 0; i < columns; ++i)
        at += 2 + Get16(d + at);
    for (std::uint32_t i = 0; i < real; ++i, at += kTdefRealIndexDefSize) {
        for (std::size_t k = 0; k < 10; ++k) {
            if (Get16(d + at + 4 + 3 * k) == 0xFFFF) skip[at + 4 + 3 * k + 2] = true;
        }
        for (std::size_t k = 42; k < 46; ++k)
            skip[at + k] = true;
    }
    return skip;
}

TEST(JetCreate, NewDatabaseMatchesOneJetCreated) {
    const std::string sample = std::string(NORVAKEL_TESTDATA) + "/jet/emptyJet4.mdb";
    if (!std::filesystem::exists(sample)) GTEST_SKIP() << "sample missing";
    const auto expected = ReadAll(sample);
    testing::TempFolder folder;
    const std::string path = folder / "NEW.MDB";
    // The creation date decides the date-derived bytes: take the sample's.
    const double created = JetFile::Open(sample, false)->Header().creationDate;
    CreateEmptyDatabase(path, CreateOptions{created});
    const auto actual = ReadAll(path);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::uint32_t page = 0; page < expected.size() / kPageSize; ++page) {
        std::vector<bool> skip(kPageSize, false);
        if (expected[page * kPageSize] == pgTableDef) skip = LeftoverBytes(expected, page);
        if (page == 0) {
            for (std::size_t i = 0x6A; i < 0x6C; ++i)
                skip[i] = false; // taken over from the sample, compared like the rest
        }
        int differences = 0;
        for (std::size_t i = 0; i < kPageSize && differences < 8; ++i) {
            const std::size_t at = page * kPageSize + i;
            if (skip[i] || actual[at] == expected[at]) continue;
            ++differences;
            ADD_FAILURE() << "page " << page << " offset 0x" << std::hex << i << ": ours "
                          << int(actual[at]) << ", Jet's " << int(expected[at]);
        }
    }
}

} // namespace
} // namespace engine::jet
