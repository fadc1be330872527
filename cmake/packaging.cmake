# Installation.
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
