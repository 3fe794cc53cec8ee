# What `cmake --install` puts under the prefix, and the Debian package
# `cpack -G DEB` makes of it:
#   lib/      libdorevivezo.so.1 with its links (dorevivezo.dll on Windows)
#   include/  dorevivezo.h
#   bin/      orvsh, orvsql-encode (when the tools are built)
#   lib/pkgconfig/dorevivezo.pc, lib/cmake/dorevivezo/ (find_package)
include(CMakePackageConfigHelpers)

install(TARGETS dorevivezo EXPORT dorevivezoTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# pkg-config: the prefix is found from the .pc file's own place, so the
# installed tree may be moved (or unpacked under another root) as a whole.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ORV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ORV_PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" ORV_PC_UP "${ORV_PC_UP}")
  set(ORV_PC_PREFIX "\${pcfiledir}/${ORV_PC_UP}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/dorevivezo.pc.in
               ${PROJECT_BINARY_DIR}/dorevivezo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dorevivezo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake: find_package(dorevivezo) gives the target dorevivezo::dorevivezo.
set(ORV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dorevivezo)
install(EXPORT dorevivezoTargets NAMESPACE dorevivezo::
        DESTINATION ${ORV_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/dorevivezoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/dorevivezoConfig.cmake
                              INSTALL_DESTINATION ${ORV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dorevivezoConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dorevivezoConfig.cmake
              ${PROJECT_BINARY_DIR}/dorevivezoConfigVersion.cmake
        DESTINATION ${ORV_CMAKE_DIR})

# The Debian package: everything above under /usr, with the dependencies
# read off the installed programs by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME dorevivezo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "dorevivezo maintainers <maintainers@dorevivezo.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A shared library that a host application runtime loads to reach any\ndatabase with an ODBC driver, through its one entry point orvsql.\nIncludes the header, pkg-config and CMake files, the reference host\norvsh and the connection value encoder orvsql-encode.")
include(CPack)
