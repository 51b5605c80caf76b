# SPDX-License-Identifier: MIT
# What `cmake --install` puts into the prefix, in three components that are
# also the Debian packages CPack makes:
#   runtime  libka_lib_audio.so.1 and the platform libraries it runs on
#   dev      headers, the .so link, the pkg-config file, the CMake package
#   board    the emulated board as a test library: libka_board.so, ka_board.h,
#            its pkg-config file (the CMake package's component "board")
#   tools    ka-audio, the board's launcher ka-board, man pages
include(CMakePackageConfigHelpers)

# The Debian package of each install component.
set(KA_DEB_NAME_RUNTIME libka-lib-audio1)
set(KA_DEB_NAME_DEV libka-lib-audio-dev)
set(KA_DEB_NAME_TOOLS ka-audio-tools)
set(KA_DEB_NAME_BOARD libka-board-dev)

# Installed binaries find the project's own libraries relative to where they
# lie ($ORIGIN), so a tree installed under any prefix, or moved, runs without
# LD_LIBRARY_PATH: the library finds the platform libraries beside it, the
# tools find the library in the lib folder next to their bin folder.
file(RELATIVE_PATH KA_BIN_TO_LIB /ka/${CMAKE_INSTALL_BINDIR} /ka/${CMAKE_INSTALL_LIBDIR})
set_target_properties(ka_lib_audio PROPERTIES INSTALL_RPATH "$ORIGIN")
if(TARGET ka-audio)
  set_target_properties(ka-audio PROPERTIES INSTALL_RPATH "$ORIGIN/${KA_BIN_TO_LIB}")
endif()

install(TARGETS ka_lib_audio log alsa_intf
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/alsa_audio.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/android/log.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/android COMPONENT dev)

# The pkg-config file and the CMake package locate the prefix relative to
# themselves, so a tree installed with DESTDIR or unpacked elsewhere works.
file(RELATIVE_PATH KA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KA_PC_TO_PREFIX "${KA_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/src/ka_lib_audio.pc.in ${PROJECT_BINARY_DIR}/ka_lib_audio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ka_lib_audio.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

set(KA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KaLibAudio)
file(RELATIVE_PATH KA_CONFIG_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${KA_CMAKE_DIR} ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/KaLibAudioConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KaLibAudioConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KaLibAudioConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KaLibAudioConfig.cmake
  ${PROJECT_BINARY_DIR}/KaLibAudioConfigVersion.cmake
  DESTINATION ${KA_CMAKE_DIR} COMPONENT dev)

if(TARGET ka-audio)
  install(TARGETS ka-audio RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET ka-board)
  install(TARGETS ka-board RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET ka-board-audio)
  install(TARGETS ka-board-audio RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
install(TARGETS ka_board LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT board)
install(FILES ${PROJECT_SOURCE_DIR}/board/include/ka_board.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT board)
configure_file(${PROJECT_SOURCE_DIR}/board/ka_board.pc.in ${PROJECT_BINARY_DIR}/ka_board.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ka_board.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT board)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/ka-audio.1 ${PROJECT_SOURCE_DIR}/docs/man/ka-board.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# ---- License -------------------------------------------------------------------
# Each package carries the project's license as a machine-readable Debian
# copyright file (share/doc/<package>/copyright), made from LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE KA_LICENSE_TEXT)
string(STRIP "${KA_LICENSE_TEXT}" KA_LICENSE_TEXT)
# The terms alone: the title and the copyright line have fields of their own.
string(FIND "${KA_LICENSE_TEXT}" "Permission" ka_terms_at)
string(SUBSTRING "${KA_LICENSE_TEXT}" ${ka_terms_at} -1 KA_LICENSE_TEXT)
string(REGEX REPLACE "\n\n" "\n.\n" KA_LICENSE_TEXT "${KA_LICENSE_TEXT}")
string(REGEX REPLACE "\n" "\n " KA_LICENSE_TEXT "${KA_LICENSE_TEXT}")
file(WRITE ${PROJECT_BINARY_DIR}/debian-copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ka-lib-audio
Comment: libka_lib_audio.so.1 links the MPEG audio decoder libmad, which is
 under the GPL-2.0-or-later; the library in binary form, and every program
 linked with it, is therefore covered by the GPL-2.0-or-later as a whole.

Files: *
Copyright: 2026 The ka-lib-audio authors
License: MIT

License: MIT
 ${KA_LICENSE_TEXT}
")
foreach(ka_component runtime dev tools board)
  string(TOUPPER ${ka_component} ka_upper)
  install(FILES ${PROJECT_BINARY_DIR}/debian-copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KA_DEB_NAME_${ka_upper}}
    RENAME copyright COMPONENT ${ka_component})
endforeach()

# ---- Debian packages ---------------------------------------------------------
# `cpack -G DEB` in a build folder configured with -DCMAKE_INSTALL_PREFIX=/usr
# (the launcher keeps the board library's installed path). The architecture
# is the target's: a cross build makes armhf packages.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(KA_DEB_ARCH armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE KA_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT KA_DEB_ARCH)
    set(KA_DEB_ARCH amd64)
  endif()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ka-lib-audio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ka_lib_audio maintainers <audio@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Audio library of the cellular module")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools board)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KA_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KA_DEB_NAME_RUNTIME})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${KA_DEB_NAME_DEV})
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KA_DEB_NAME_TOOLS})
set(CPACK_DEBIAN_BOARD_PACKAGE_NAME ${KA_DEB_NAME_BOARD})
set(CPACK_DEBIAN_BOARD_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "libka_lib_audio.so.1 with the platform ALSA interface and log libraries")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Headers, pkg-config file and CMake package of libka_lib_audio")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "ka-audio command-line tool and the emulated module's launcher (ka-board)")
set(CPACK_COMPONENT_BOARD_DESCRIPTION
  "The emulated module as a test library: applications' tests link libka_board")
# What the binaries are linked against (readelf -d): the C and C++ runtimes,
# libmad and opencore-amr; the same package names on amd64 and armhf.
set(KA_DEB_VERSION_DEP "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
  "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libmad0, libopencore-amrnb0, libopencore-amrwb0")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libka-lib-audio1 ${KA_DEB_VERSION_DEP}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
  "libka-lib-audio1 ${KA_DEB_VERSION_DEP}, libka-board-dev ${KA_DEB_VERSION_DEP}, libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_BOARD_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
if(TARGET ka-board-audio)  # the host-sound bridge links alsa-lib
  string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", libasound2")
endif()
# The run report of ka-board: FFTW and libpng where they were found.
get_property(ka_board_fftw GLOBAL PROPERTY KA_BOARD_USES_FFTW)
get_property(ka_board_png GLOBAL PROPERTY KA_BOARD_USES_PNG)
if(ka_board_fftw)
  string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", libfftw3-double3")
endif()
if(ka_board_png)
  string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", libpng16-16")
endif()
include(CPack)
