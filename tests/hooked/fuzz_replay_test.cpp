// SPDX-License-Identifier: MIT
// Replays, through the fuzz targets' own checks, every input that once found
// a fault (fuzz/regressions*) and the checked-in corpora (fuzz/corpus*), so
// the ordinary suite keeps what the fuzzers learnt: the library's program
// interpreter and the tool's notation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "notation_check.hpp"
#include "program.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_in(const fs::path &folder) {
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() != ".md") files.push_back(entry.path());
    return files;
}

using target = void (*)(const std::uint8_t *, std::size_t);

// What the first failed check said, or nothing when all held.
std::string replay(const fs::path &file, target run) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        run(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    } catch (const program::check_failed &failure) {
        return failure.what();
    }
    return {};
}

struct inputs {
    const char *folder;
    target run;
};

void PrintTo(const inputs &in, std::ostream *out) { *out << in.folder; }

class FuzzReplay : public testing::TestWithParam<inputs> {};

TEST_P(FuzzReplay, EveryInputPassesItsChecks) {
    const fs::path folder = fs::path(TARNWICK_FUZZ_DIR) / GetParam().folder;
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    for (const fs::path &file : inputs_in(folder)) EXPECT_EQ(replay(file, GetParam().run), "") << file;
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzReplay,
                         testing::Values(inputs{"regressions", program::run}, inputs{"corpus", program::run},
                                         inputs{"regressions-notation", notation_check::run},
                                         inputs{"corpus-notation", notation_check::run}));

}  // namespace
