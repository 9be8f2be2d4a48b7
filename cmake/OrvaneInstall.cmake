# Installation of the libraries (versioned sonames), the public headers (the
# tree include/orvane/), a CMake package with a version file (find_package(Orvane)
# gives Orvane::orvane and Orvane::orvane_py) and two pkg-config files: orvane
# (C++) and orvane-c (the C interface, no C++ flags). Only the headers a caller
# needs are installed: the facades, option maps and value types, the log
# controls, the extension interfaces (search with filter, caller-supplied file
# readers and writers) and the C header. None of them may
# include an internal header; the example in examples/ is built against the
# installed tree and compiles every installed header on its own to catch that.
include(CMakePackageConfigHelpers)

# The public API is exactly the tree include/orvane/: it is installed as it
# stands, and callers include it as "orvane/api/OrvaneBuilder.h".
set(ORVANE_INSTALL_CMAKE ${CMAKE_INSTALL_LIBDIR}/cmake/Orvane)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/orvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

set(ORVANE_INSTALL_TARGETS orvane)
if(TARGET orvane_py)
  list(APPEND ORVANE_INSTALL_TARGETS orvane_py)
endif()
install(TARGETS ${ORVANE_INSTALL_TARGETS}
        EXPORT OrvaneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT OrvaneTargets NAMESPACE Orvane:: DESTINATION ${ORVANE_INSTALL_CMAKE})

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/OrvaneConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/OrvaneConfig.cmake
                              INSTALL_DESTINATION ${ORVANE_INSTALL_CMAKE})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OrvaneConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/OrvaneConfig.cmake ${CMAKE_BINARY_DIR}/OrvaneConfigVersion.cmake
        DESTINATION ${ORVANE_INSTALL_CMAKE})

# The pkg-config file finds the prefix relative to itself, so the tree can be
# installed with `cmake --install --prefix` anywhere.
file(RELATIVE_PATH ORVANE_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
# orvane-c carries no C++ flags, for C consumers of the C interface.
configure_file(${CMAKE_SOURCE_DIR}/cmake/orvane.pc.in ${CMAKE_BINARY_DIR}/orvane.pc @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/orvane-c.pc.in ${CMAKE_BINARY_DIR}/orvane-c.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvane.pc ${CMAKE_BINARY_DIR}/orvane-c.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
