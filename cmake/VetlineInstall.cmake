# What `cmake --install` and `cpack` ship: the programs, the man page, the
# user guide and a CMake package (find_package(Vetline) gives the imported
# programs as Vetline::<name> and the functions vetline_add_test and
# vetline_add_suite). Everything
# is in the install component "vetline", so the Debian package made by
# `cpack -G DEB` holds exactly what an install into a prefix holds.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Every program the package ships; a companion program adds its target here
# and becomes Vetline::<target> for the projects that use the package.
set(VETLINE_PROGRAMS vetline vetline-lint vetline-suite)

set(VETLINE_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/Vetline)

install(TARGETS ${VETLINE_PROGRAMS} EXPORT VetlineTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vetline)
install(EXPORT VetlineTargets NAMESPACE Vetline:: DESTINATION ${VETLINE_CMAKE_DIR}
        FILE VetlineTargets.cmake COMPONENT vetline)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VetlineConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VetlineConfig.cmake
                              INSTALL_DESTINATION ${VETLINE_CMAKE_DIR} NO_SET_AND_CHECK_MACRO
                              NO_CHECK_REQUIRED_COMPONENTS_MACRO)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VetlineConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VetlineConfig.cmake
              ${PROJECT_BINARY_DIR}/VetlineConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/VetlineAddTest.cmake
              ${PROJECT_SOURCE_DIR}/cmake/VetlineAddSuite.cmake
        DESTINATION ${VETLINE_CMAKE_DIR} COMPONENT vetline)

install(FILES ${PROJECT_SOURCE_DIR}/docs/vetline.1 ${PROJECT_SOURCE_DIR}/docs/vetline-suite.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vetline)
# The guide is every Markdown page of docs/, so a page added there (a
# companion program's, say) is installed with the rest.
file(GLOB VETLINE_DOC_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${VETLINE_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT vetline)

set(CPACK_PACKAGE_NAME vetline)
set(CPACK_PACKAGE_VENDOR "Vetline developers")
set(CPACK_PACKAGE_CONTACT "Vetline developers <vetline@vetline.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "verifies a program's output against expectations in a check file")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vetline.dev/")
# The banner calls this version "14.0.0git": a snapshot before 14.0.0.
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}~git")
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# dpkg-shlibdeps reads the libraries the programs really load (libtinfo6,
# not the whole of ncurses) with their minimum versions; without it the
# same packages are named without versions.
find_program(VETLINE_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VETLINE_DPKG_SHLIBDEPS)
if(VETLINE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libtinfo6")
endif()
include(CPack)
