# SPDX-License-Identifier: MIT
# What `cmake --install` puts into the prefix, in components that follow the
# Debian packages of debian/control:
#   runtime   libka_lib_audio.so.1
#   platform  the host stand-ins of the module's platform libraries
#             (liblog, libalsa_intf) and their headers, in folders of their
#             own: lib/ka-lib-audio/ and include/ka-lib-audio-platform/
#   dev       headers, the .so link, the pkg-config file, the CMake package
#   board     the emulated board as a test library: libka_board.so.0, the
#             .so link, ka_board.h, its pkg-config file (the CMake package's
#             component "board")
#   tools     ka-audio, the board's launcher ka-board with its host sound
#             bridge, man pages
include(CMakePackageConfigHelpers)

# The stand-ins are not the module's libraries: they stay out of the system's
# library and include folders, where a module image has the real ones. The
# library looks for them in its own folder below its directory ($ORIGIN), and
# the dynamic linker falls back to its search path (the module's platform)
# where they are not installed.
set(KA_PLATFORM_LIBDIR ${CMAKE_INSTALL_LIBDIR}/ka-lib-audio)
set(KA_PLATFORM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ka-lib-audio-platform)

# Installed binaries find the project's own libraries relative to where they
# lie ($ORIGIN), so a tree installed under any prefix, or moved, runs without
# LD_LIBRARY_PATH: the library finds the platform stand-ins below it, the
# tools find the library in the lib folder next to their bin folder (and
# the stand-ins: ka-audio routes the platform's log itself).
file(RELATIVE_PATH KA_BIN_TO_LIB /ka/${CMAKE_INSTALL_BINDIR} /ka/${CMAKE_INSTALL_LIBDIR})
set_target_properties(ka_lib_audio PROPERTIES INSTALL_RPATH "$ORIGIN/ka-lib-audio")
if(TARGET ka-audio)
  set_target_properties(ka-audio PROPERTIES
    INSTALL_RPATH "$ORIGIN/${KA_BIN_TO_LIB};$ORIGIN/${KA_BIN_TO_LIB}/ka-lib-audio")
endif()

install(TARGETS ka_lib_audio
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS log alsa_intf LIBRARY DESTINATION ${KA_PLATFORM_LIBDIR} COMPONENT platform)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/alsa_audio.h
  DESTINATION ${KA_PLATFORM_INCLUDEDIR} COMPONENT platform)
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/android/log.h
  DESTINATION ${KA_PLATFORM_INCLUDEDIR}/android COMPONENT platform)

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
# Only ka-board starts the bridge: it is no command of its own.
if(TARGET ka-board-audio)
  install(TARGETS ka-board-audio RUNTIME DESTINATION ${KA_BOARD_BRIDGE_DIR} COMPONENT tools)
endif()
install(TARGETS ka_board LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT board)
install(FILES ${PROJECT_SOURCE_DIR}/board/include/ka_board.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT board)
configure_file(${PROJECT_SOURCE_DIR}/board/ka_board.pc.in ${PROJECT_BINARY_DIR}/ka_board.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ka_board.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT board)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/ka-audio.1 ${PROJECT_SOURCE_DIR}/docs/man/ka-board.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
