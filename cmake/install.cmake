# SPDX-License-Identifier: MIT
# Install rules and the packages other projects find the library by:
#   find_package(tarnwick CONFIG)   gives tarnwick::tarnwick (and tarnwick::cxx)
#   pkg-config tarnwick             gives the flags for C builds
# Both describe the installed tree relative to where they lie, so an
# installed prefix may be moved or installed with cmake --install --prefix.
# A shared and a static build may be installed into one prefix, in either
# order: each adds its own targets file (tarnwickSharedTargets.cmake,
# tarnwickStaticTargets.cmake) beside the one package file that chooses
# between them, and both write the same tarnwick.pc.
include(CMakePackageConfigHelpers)

set(TARNWICK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick)
if(tarnwick_shared)
  set(tarnwick_export tarnwickSharedTargets)
else()
  set(tarnwick_export tarnwickStaticTargets)
endif()

# The shared library with its SONAME symlink and development symlink
# (libtarnwick.so -> .so.1 -> .so.1.1.0), or on Windows the DLL and its
# import library; the static libtarnwick.a; and the headers, whose folder
# the exported target names.
install(TARGETS tarnwick EXPORT ${tarnwick_export}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The command-line tool and its manual page, when this build makes it.
# Installed, it finds the library through a run path relative to itself.
if(TARGET tarnwick_tool)
  if(NOT WIN32 AND NOT APPLE)
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(tarnwick_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
  install(TARGETS tarnwick_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/tarnwick.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES man/libtarnwick.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
# The documents the manual page and the README point to.
install(FILES README.md docs/format.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick)

install(EXPORT ${tarnwick_export} NAMESPACE tarnwick:: DESTINATION ${TARNWICK_CMAKE_DIR})
configure_package_config_file(cmake/tarnwickConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/tarnwickConfig.cmake
  INSTALL_DESTINATION ${TARNWICK_CMAKE_DIR})
# 1.x callers build against any 1.y with y at least what they asked for.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarnwickConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarnwickConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/tarnwickConfigVersion.cmake
  DESTINATION ${TARNWICK_CMAKE_DIR})

# pkg-config finds the prefix from the folder that holds tarnwick.pc. Where a
# static library's callers must define TARNWICK_STATIC (Windows), it says so.
set(TARNWICK_PC_CFLAGS "")
if(NOT tarnwick_shared AND (WIN32 OR CYGWIN))
  set(TARNWICK_PC_CFLAGS " -DTARNWICK_STATIC")
endif()
file(RELATIVE_PATH TARNWICK_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TARNWICK_PC_TO_PREFIX "${TARNWICK_PC_TO_PREFIX}")
file(RELATIVE_PATH TARNWICK_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH TARNWICK_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(cmake/tarnwick.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarnwick.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarnwick.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
