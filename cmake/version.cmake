# SPDX-License-Identifier: MIT
# The release's version, read from the one place that states it: the
# TARNWICK_VERSION_MAJOR, _MINOR and _PATCH lines of include/tarnwick.h.
# Included before project(), it sets TARNWICK_VERSION to MAJOR.MINOR.PATCH.
# Run as a script (cmake -P cmake/version.cmake) it prints that on standard
# output, for the scripts that name release files after it.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../include/tarnwick.h tarnwick_version_lines
     REGEX "^#define TARNWICK_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+$")
set(TARNWICK_VERSION "")
foreach(part MAJOR MINOR PATCH)
  if(NOT tarnwick_version_lines MATCHES "TARNWICK_VERSION_${part} +([0-9]+)")
    message(FATAL_ERROR "include/tarnwick.h defines no TARNWICK_VERSION_${part}")
  endif()
  string(APPEND TARNWICK_VERSION ".${CMAKE_MATCH_1}")
endforeach()
string(SUBSTRING "${TARNWICK_VERSION}" 1 -1 TARNWICK_VERSION)
unset(tarnwick_version_lines)

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${TARNWICK_VERSION})
endif()
