// SPDX-License-Identifier: MIT
// The notation fuzz target's checks, shared with the replay in the ordinary
// suite. The input is text in the tool's tree notation. It is built into a
// tree through the library built with allocation hooks, with at most
// kMaxBlocks block allocations granted (about 1 MiB of records): enough for
// records over many blocks, few enough that large counts meet refusals, whole
// or part way through a record, rather than the machine's memory and time.
// Then the tree is walked both ways and shown by the tool's printers. A
// failed check throws program::check_failed.
//
// The tool's read_file is replaced here (notation_check.cpp): `@PATH` reads
// no file, its bytes are the PATH itself, so a run never depends on or
// touches the file system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace notation_check {

constexpr std::size_t kMaxBlocks = 64;

void run(const std::uint8_t *bytes, std::size_t size);

}  // namespace notation_check
