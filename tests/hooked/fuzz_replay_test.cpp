// Replays, through the fuzz target's interpreter, every input that once found
// a fault (fuzz/regressions) and the checked-in corpus (fuzz/corpus), so the
// ordinary suite keeps what the fuzzer learnt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "program.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_in(const fs::path &folder) {
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() != ".md") files.push_back(entry.path());
    return files;
}

// What the first failed check said, or nothing when all held.
std::string replay(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        program::run(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    } catch (const program::check_failed &failure) {
        return failure.what();
    }
    return {};
}

class FuzzReplay : public testing::TestWithParam<const char *> {};

TEST_P(FuzzReplay, EveryInputPassesItsChecks) {
    const fs::path folder = fs::path(TARNWICK_FUZZ_DIR) / GetParam();
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    for (const fs::path &file : inputs_in(folder)) EXPECT_EQ(replay(file), "") << file;
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzReplay, testing::Values("regressions", "corpus"));

}  // namespace
