# SPDX-License-Identifier: MIT
# Static analysis of the library, the tool and the public headers; any
# finding fails the layer.
# 1. clang-tidy, with the checks .clang-tidy names, over every source in the
#    compile database of a build with the tool and the examples. Findings
#    count only in the library's, the tool's and the headers' own lines: the
#    examples are there to instantiate tarnwick.hpp's templates, and their
#    own lines are left to the compilers' warnings.
# 2. cppcheck's warning, performance and portability checks over the same
#    compile database.
# 3. GCC's -fanalyzer on the library and the tool, built unoptimised with
#    warnings as errors. Unoptimised, since at -O2 GCC 12's analyzer reports
#    what is no fault: blocks linked into the caller's list as leaked, and an
#    uninitialised value inside libstdc++'s strings.
# A finding that is no fault is suppressed in the code at its line, naming
# the check and why (NOLINT for clang-tidy, cppcheck-suppress for cppcheck).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ clang-tidy cppcheck

database=build/analysis
mkdir -p "$database"
logged "$database.configure.log" cmake -S . -B "$database" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARNWICK_BUILD_TESTS=OFF \
  -DTARNWICK_BUILD_BENCH=OFF

# clang-tidy's line filter, as JSON: the files whose lines are held to the
# checks, sources and headers (.clang-tidy's header filter lets the headers
# through in the first place).
sources=(src/*.cpp tools/*.cpp examples/*.c examples/*.cpp)
owned=(src/*.cpp tools/*.cpp tools/*.hpp include/*.h include/*.hpp include/tarnwick/*.hpp)
filter=$(printf '{"name":"%s"},' "${owned[@]}")
export filter="[${filter%,}]" database
echo "clang-tidy $(clang-tidy --version | grep -o -m 1 '[0-9][0-9.]*') over ${#sources[@]} sources"
# One clang-tidy per source, one per core at a time; a source's log is shown
# when it has findings. Each tool runs whatever the one before found, so
# that one run shows every finding.
failed=()
export -f logged
printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$jobs" bash -c '
  logged "$database/tidy-${1//\//-}.log" clang-tidy -p "$database" --quiet --line-filter="$filter" "$1"' tidy \
  || failed+=(clang-tidy)

echo "$(cppcheck --version) over the same sources"
cppcheck --project="$database/compile_commands.json" --enable=warning,performance,portability --error-exitcode=1 \
  --inline-suppr --quiet -j "$jobs" || failed+=(cppcheck)

echo "GCC $(g++ -dumpfullversion)'s -fanalyzer over the library and the tool"
build_target=tarnwick_tool build analysis-gcc -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-fanalyzer \
  -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF -DTARNWICK_BUILD_EXAMPLES=OFF || failed+=(-fanalyzer)

[ ${#failed[@]} -eq 0 ] || { echo "findings from ${failed[*]}"; exit 1; }
echo "no findings"
