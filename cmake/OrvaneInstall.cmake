# Installation of the libraries (versioned sonames), the public headers under
# include/orvane/, a CMake package with a version file (find_package(Orvane)
# gives Orvane::orvane and Orvane::orvane_py) and two pkg-config files: orvane
# (C++) and orvane-c (the C interface, no C++ flags). Only the headers a caller
# needs are installed: the facades, option maps and value types, the log
# controls, the extension interfaces (search with filter, caller-supplied file
# readers and writers) and the C header. None of them may
# include an internal header; the example in examples/ is built against the
# installed tree and compiles every installed header on its own to catch that.
include(CMakePackageConfigHelpers)

set(ORVANE_PUBLIC_HEADERS
    api/Dataset.h
    api/ErrorCode.h
    api/IBuildExtension.h
    api/IndexDescription.h
    api/ISearchExtension.h
    api/IndexKind.h
    api/Logging.h
    api/MemoryResource.h
    api/NoCopyable.h
    api/OptionNormalize.h
    api/Options.h
    api/OrvaneBuilder.h
    api/OrvaneSearcher.h
    api/Query.h
    api/Result.h
    api/RowFilter.h
    api/SearchTypes.h
    api/Status.h
    api/Version.h
    csrc/orvane_c.h
    extensions/experimental/SearchWithFilterExtension.h
    io/FileReader.h
    io/IOSettings.h
    io/FileWriter.h)

set(ORVANE_INSTALL_INCLUDE ${CMAKE_INSTALL_INCLUDEDIR}/orvane)
set(ORVANE_INSTALL_CMAKE ${CMAKE_INSTALL_LIBDIR}/cmake/Orvane)

foreach(header ${ORVANE_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/include/${header} DESTINATION ${ORVANE_INSTALL_INCLUDE}/${dir})
endforeach()

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
