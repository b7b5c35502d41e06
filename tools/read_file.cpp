// SPDX-License-Identifier: MIT
// The tool's file reading, in a file of its own so that a program built from
// the notation without touching files (the notation fuzz target) can supply
// its own read_file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "notation.hpp"

namespace tool {

// Reads the file in chunks, so that a file larger than `limit` is refused
// after reading just past the limit, whatever its size.
bool read_file(const std::string &path, std::size_t limit, std::string &bytes, std::string &error) {
    // Closes the file on the early returns, where the read has failed
    // already: a close that fails as well has nothing to add to that error.
    struct closer {
        void operator()(std::FILE *f) const { (void)std::fclose(f); }
    };
    std::unique_ptr<std::FILE, closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        bytes.append(buffer, got);
        if (bytes.size() > limit) {
            error = "larger than " + std::to_string(limit) + " bytes";
            return false;
        }
        if (got < sizeof buffer) break;
    }
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return false;
    }
    if (std::fclose(file.release()) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tool
