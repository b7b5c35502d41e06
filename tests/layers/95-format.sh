# SPDX-License-Identifier: MIT
# The project's own C and C++ files (those git knows of) are formatted as
# .clang-format says: clang-format --dry-run --Werror names every line that
# it would change, and any such line fails the layer.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages clang-format
git rev-parse --git-dir >/dev/null 2>&1 || skip "not a git clone, so no list of the project's files"
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${files[@]}"
echo "${#files[@]} files formatted as .clang-format says"
