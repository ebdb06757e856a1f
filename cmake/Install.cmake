# What `cmake --install` puts under the prefix, and the .deb packages.
#
#   include/VELMOGPIOLib.h
#   lib/velmogpio/VELMOGPIOLib.o              the object edition, for clients
#   lib/pkgconfig/velmogpio.pc                pkg-config: Libs names the object
#   lib/cmake/VelmoGPIO/VelmoGPIOConfig*.cmake  find_package(VelmoGPIO)
#   bin/VelmoGPIO, bin/velmo-emu              the demo and the emulator
#   bin/velmogpio, share/man/man1/velmogpio.1 the command-line tool (tools/)
#
# Included at the end of the top CMakeLists.txt, once every part's targets
# exist. The paths are fixed (not GNUInstallDirs): on Debian with prefix /usr
# those would move the object into a multiarch directory.
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/library/VELMOGPIOLib.h DESTINATION include)
install(FILES ${VELMO_OBJECT} DESTINATION lib/velmogpio)

foreach(program VelmoGPIO velmo-emu)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()

# The .pc file names absolute paths, so it is written when the prefix is
# known: at install time (`cmake --install --prefix`, or CPack's /usr).
set(VELMO_PC_STAGED ${CMAKE_BINARY_DIR}/install/velmogpio.pc)
install(CODE "
  set(VELMO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/velmogpio.pc.in\" \"${VELMO_PC_STAGED}\" @ONLY)
")
install(FILES ${VELMO_PC_STAGED} DESTINATION lib/pkgconfig)

# The CMake package finds its prefix from its own place, so it is written
# now. The version file also refuses a 64-bit client the 32-bit object and
# the other way round.
configure_file(${CMAKE_CURRENT_LIST_DIR}/VelmoGPIOConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/VelmoGPIOConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/VelmoGPIOConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/VelmoGPIOConfig.cmake
              ${CMAKE_BINARY_DIR}/install/VelmoGPIOConfigVersion.cmake
        DESTINATION lib/cmake/VelmoGPIO)

# .deb: `cpack -G DEB` in a build tree. The i386 preset makes the board's
# package, the others amd64. Dependencies are set by hand, as dpkg-shlibdeps
# cannot resolve a 32-bit program against the multilib libraries of an
# amd64 host: the C library always, the C++ runtime for the programs
# written in C++ (emulator, command-line tool). The package test checks that
# every library a packaged program needs is covered.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmogpio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmo GPIO developers <velmogpio@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GPIO lines of the Velmo board from user space")
set(CPACK_PACKAGE_DESCRIPTION
  "A relocatable object (VELMOGPIOLib.o) and its header for programs that drive the eight GPIO lines of the Velmo board through I/O ports, with pkg-config and CMake package files, the console demo VelmoGPIO, the command-line tool velmogpio and the emulator velmo-emu.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install with DESTDIR, so the install-time prefix is /usr and the .pc file
# says so.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
if(VELMO_ARCH STREQUAL "i386")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(VELMO_DEB_DEPENDS libc6)
if(TARGET velmo-emu OR TARGET velmogpio)
  list(APPEND VELMO_DEB_DEPENDS libstdc++6 libgcc-s1)
endif()
if(VELMO_SANITIZE)
  # Only to test the packaging rules: a sanitizer build is never shipped.
  list(APPEND VELMO_DEB_DEPENDS libasan8 libubsan1)
endif()
list(JOIN VELMO_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
