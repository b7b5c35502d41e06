# SPDX-License-Identifier: MIT
# Fails unless every place that states the release's version states the same
# one: the header's TARNWICK_VERSION_STRING, the project's version (which
# CMake reads from the header's three numbers), the generated pkg-config
# file, the newest entry of debian/changelog (without its Debian revision),
# the newest release in CHANGELOG.md, the Python package's __version__ (which
# its metadata takes) and the one libtarnwick(3) names. The places that are
# generated from the header (the tool's --version, the SONAME, the names of
# release archives) need no check here.
#   cmake -DHEADER=include/tarnwick.h -DPROJECT_VERSION=1.1.0 -DPKG_CONFIG=build/tarnwick.pc
#         -DDEBIAN_CHANGELOG=debian/changelog -DCHANGELOG=CHANGELOG.md
#         -DPYTHON_PACKAGE=python/tarnwick/__init__.py -DMAN_PAGE=man/libtarnwick.3 -P check_version.cmake

# The first match of REGEX's group in FILE, as VARIABLE; an error when none.
function(version_in file regex variable)
  file(STRINGS "${file}" lines REGEX "${regex}")
  if(NOT lines MATCHES "${regex}")
    message(FATAL_ERROR "${file}: no version found (no line matches ${regex})")
  endif()
  set(${variable} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

version_in("${HEADER}" "^#define TARNWICK_VERSION_STRING \"([^\"]*)\"" header)
version_in("${PKG_CONFIG}" "^Version: *([^ ]*)$" pkg_config)
# The top line names the newest entry: libtarnwick (EPOCH:VERSION-REVISION) ...
version_in("${DEBIAN_CHANGELOG}" "^[a-z0-9.+-]+ \\(([^)]*)\\)" debian)
string(REGEX REPLACE "^[0-9]+:" "" debian "${debian}")
string(REGEX REPLACE "-[^-]*$" "" debian "${debian}")
# Release headings are "## [VERSION] - DATE"; [Unreleased] is not one.
version_in("${CHANGELOG}" "^## \\[([0-9][^]]*)\\]" changelog)
version_in("${PYTHON_PACKAGE}" "^__version__ = \"([^\"]*)\"$" python)
# The version macros' section: ".Qq VERSION" (the string's value).
version_in("${MAN_PAGE}" "^\\.Qq ([0-9][0-9.]*)$" man_page)

set(project "${PROJECT_VERSION}")
set(report "")
foreach(place project pkg_config debian changelog python man_page)
  string(APPEND report "\n  ${place}: ${${place}}")
  if(NOT ${place} STREQUAL header)
    set(disagree TRUE)
  endif()
endforeach()
if(disagree)
  message(FATAL_ERROR "the versions disagree: header: ${header}${report}")
endif()
message(STATUS "version ${header} everywhere")
