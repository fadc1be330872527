# Installation and release archives.
#
# The component runtime (a plain `cmake --install`) is the tool, its manual
# page and the README.  The component development, installed only on request,
# is the library with its public header and the CMake package files behind
# find_package(nlflip): the imported targets nlflip::common and, because the
# static library links it, nlflip::platform.

if(WIN32)
  # On Windows the program and the README, as CR LF text, sit side by side at
  # the top of the installation.
  install(TARGETS nlflip RUNTIME DESTINATION . COMPONENT runtime)
  file(READ README.md readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT runtime)
else()
  install(TARGETS nlflip RUNTIME COMPONENT runtime)
  install(FILES nlflip.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
endif()

install(TARGETS common EXPORT nlflipTargets
  ARCHIVE COMPONENT development EXCLUDE_FROM_ALL
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nlflip
    COMPONENT development EXCLUDE_FROM_ALL
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS platform EXPORT nlflipTargets ARCHIVE COMPONENT development EXCLUDE_FROM_ALL)

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/nlflip)
install(EXPORT nlflipTargets NAMESPACE nlflip:: DESTINATION ${package_dir}
  COMPONENT development EXCLUDE_FROM_ALL)
include(CMakePackageConfigHelpers)
configure_package_config_file(cmake/nlflipConfig.cmake.in nlflipConfig.cmake
  INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(nlflipConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nlflipConfig.cmake ${PROJECT_BINARY_DIR}/nlflipConfigVersion.cmake
  DESTINATION ${package_dir} COMPONENT development EXCLUDE_FROM_ALL)

# The archives (package presets in CMakePresets.json): .tar.gz and .deb of the
# component runtime on Linux, .zip on Windows.
set(CPACK_PACKAGE_CONTACT "nlflip maintainers <maintainers@users.noreply.c-seed-7e20919d.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "toggle the line ends of a text file into a second file")
# The long description as the .deb shows it: lines of at most 80 columns.
set(CPACK_PACKAGE_DESCRIPTION [[
nlflip writes a copy of a text file with its line ends toggled rather than
normalised: LF and CR line ends become CR LF, CR LF line ends become LF, so
a second run restores the original.  All other bytes are kept.  It asks
before it replaces an existing file, and it can rewrite a file in place.
Its usage text is partly Japanese, in Shift-JIS.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-manual.cmake)
include(CPack)
