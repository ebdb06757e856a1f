# What `cmake --install` puts under the prefix. The directories are
# GNUInstallDirs': for a prefix such as /opt/velmo LIBDIR is lib, for /usr
# on Debian it is the multiarch directory (lib/x86_64-linux-gnu,
# lib/i386-linux-gnu), so the board's and the PC's library install side by
# side. debian/ packages this same install.
#
#   INCLUDEDIR/VELMOGPIOLib.h
#   LIBDIR/velmogpio/VELMOGPIOLib.o                 the object edition, for clients
#   LIBDIR/pkgconfig/velmogpio.pc                   pkg-config: Libs names the object
#   LIBDIR/cmake/VelmoGPIO/VelmoGPIOConfig*.cmake   find_package(VelmoGPIO)
#   BINDIR/<program>, MANDIR/man1/<program>.1       each program and its man page
#   MANDIR/man5/velmo-scenario.5                    velmo-test's scenario files
#   VELMO_PYTHON_DIR/velmogpio/                     the Python module, where it is built:
#       __init__.py __init__.pyi py.typed _velmogpio.<SOABI>.so
#
# Included at the end of the top CMakeLists.txt, once every part's targets
# exist.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/library/VELMOGPIOLib.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${VELMO_OBJECT} DESTINATION ${CMAKE_INSTALL_LIBDIR}/velmogpio)

# The programs; each one's man page is <program>.1 beside its sources.
set(VELMO_PROGRAMS
  VelmoGPIO
  velmogpio
  velmo-emu
  velmo-board
  velmo-test
)
foreach(program ${VELMO_PROGRAMS})
  if(NOT TARGET ${program})
    continue() # velmo-test, where yaml-cpp is missing for the target
  endif()
  get_target_property(dir ${program} SOURCE_DIR)
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${dir}/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# The file format velmo-test reads, beside its sources.
if(TARGET velmo-test)
  get_target_property(dir velmo-test SOURCE_DIR)
  install(FILES ${dir}/velmo-scenario.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
endif()

# The .pc file names absolute paths, so it is written when the prefix is
# known: at install time (`cmake --install --prefix`, or /usr with DESTDIR
# for a package).
set(VELMO_PC_STAGED ${CMAKE_BINARY_DIR}/install/velmogpio.pc)
install(CODE "
  set(VELMO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(VELMO_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(VELMO_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/velmogpio.pc.in\" \"${VELMO_PC_STAGED}\" @ONLY)
")
install(FILES ${VELMO_PC_STAGED} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The CMake package finds its prefix from its own place, so it is written
# now, with the way up from its directory to the prefix. The version file
# also refuses a 64-bit client the 32-bit object and the other way round.
set(VELMO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelmoGPIO)
file(RELATIVE_PATH VELMO_CMAKE_TO_PREFIX /prefix/${VELMO_CMAKE_DIR} /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VelmoGPIOConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/VelmoGPIOConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/VelmoGPIOConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/VelmoGPIOConfig.cmake
              ${CMAKE_BINARY_DIR}/install/VelmoGPIOConfigVersion.cmake
        DESTINATION ${VELMO_CMAKE_DIR})

# The Python package, where this build makes it (python/CMakeLists.txt).
# VELMO_PYTHON_DIR is relative to the prefix unless absolute: Debian's
# python3 looks in /usr/lib/python3/dist-packages, the default here; for
# another prefix give the interpreter's own (python3 -c 'import sysconfig;
# print(sysconfig.get_path("platlib"))'), or add the folder to PYTHONPATH.
set(VELMO_PYTHON_DIR lib/python3/dist-packages CACHE PATH
  "Where the Python package velmogpio is installed, relative to the prefix unless absolute")
if(TARGET _velmogpio)
  install(TARGETS _velmogpio LIBRARY DESTINATION ${VELMO_PYTHON_DIR}/velmogpio)
  foreach(file ${VELMO_PYTHON_FILES})
    install(FILES ${PROJECT_SOURCE_DIR}/python/velmogpio/${file} DESTINATION ${VELMO_PYTHON_DIR}/velmogpio)
  endforeach()
endif()
