# Installation and release archives.
#
# The component runtime (a plain `cmake --install`) is the tool, its manual
# page, the README with its docs/ pages, the licence and the changelog.
# The component development, installed only on request, is the library with
# its public header and the CMake package files behind find_package(nlflip):
# the imported targets nlflip::common and, because the static library links
# it, nlflip::platform; the licence and the changelog go with it too.

if(WIN32)
  # On Windows the program and its texts, with CR LF line ends, sit side by
  # side at the top of the installation.
  install(TARGETS nlflip RUNTIME DESTINATION . COMPONENT runtime)
  file(GLOB pages RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS docs/*.md)
  set(texts README.md:README.txt LICENSE:LICENSE.txt CHANGELOG.md:CHANGELOG.txt)
  foreach(page IN LISTS pages)
    string(REGEX REPLACE "\\.md$" ".txt" text ${page})
    list(APPEND texts ${page}:${text})
  endforeach()
  foreach(text IN LISTS texts)
    string(REPLACE ":" ";" text ${text})
    list(GET text 0 source)
    list(GET text 1 target)
    file(READ ${source} content)
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${PROJECT_BINARY_DIR}/${target} "${content}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    cmake_path(GET target PARENT_PATH folder)
    install(FILES ${PROJECT_BINARY_DIR}/${target} DESTINATION ./${folder} COMPONENT runtime)
  endforeach()
else()
  install(TARGETS nlflip RUNTIME COMPONENT runtime)
  install(FILES nlflip.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT runtime)
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT runtime
    FILES_MATCHING PATTERN "*.md")
endif()
install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/nlflip-dev
  COMPONENT development EXCLUDE_FROM_ALL)

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

# The archives (package presets in CMakePresets.json): on Linux a .tar.gz of
# the component runtime and a .deb of each component, nlflip and nlflip-dev;
# on Windows a .zip.  SHA256SUMS lists them (package-finish.cmake).
set(CPACK_PACKAGE_VENDOR "the nlflip authors")
# The project's name, and the address that all of its commits carry.
set(CPACK_PACKAGE_CONTACT "nlflip authors <maintainers@users.noreply.c-seed-7e20919d.example>")
# SPDX identifier of the licence whose text is LICENSE.
set(CPACK_PACKAGE_LICENSE ${NLFLIP_LICENSE})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE nlflip)
# Each .deb's description is its summary line, then lines of at most 80
# columns; without a common summary, CPack puts none in front of them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME nlflip)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${PROJECT_DESCRIPTION}
nlflip writes a copy of a text file with its line ends toggled rather than
normalised: LF and CR line ends become CR LF, CR LF line ends become LF, so
a second run restores a file whose lines end in LF or CR LF.  All other
bytes are kept.  It asks before it replaces an existing file, and it can
rewrite a file in place.  Its usage text is partly Japanese, in Shift-JIS.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME nlflip-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION [[
Shift-JIS text, message and memory routines of nlflip (static library)
common is the library that nlflip is built on: message output with its own
formatter, allocation wrappers that report a failure and end the program, a
guarded file close with a free-space check, and Shift-JIS-aware character
searches, path splitting, file-name ordering, token reading and tab
expansion.  This package holds the static libraries, the header
<nlflip/common.h> and the CMake package behind find_package(nlflip).]])
set(CPACK_NLFLIP_SOURCE_DIR ${PROJECT_SOURCE_DIR})
if(NOT WIN32)
  set(CPACK_NLFLIP_STRIP ${CMAKE_STRIP})
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package-epoch.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-stage.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-finish.cmake)
include(CPack)

# The Windows program's ASLR, DEP, version resource and manifest, read back
# from the built program.
if(WIN32 AND BUILD_TESTING)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(wide 1)
  else()
    set(wide 0)
  endif()
  add_test(NAME windows_program_metadata
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:nlflip> -DOBJDUMP=${CMAKE_OBJDUMP}
      -DWINDRES=${CMAKE_RC_COMPILER} -DVERSION=${PROJECT_VERSION}
      -DDESCRIPTION=${PROJECT_DESCRIPTION} -DCOPYRIGHT=${NLFLIP_COPYRIGHT}
      -DLICENSE=${NLFLIP_LICENSE} -DWIDE=${wide}
      -P ${CMAKE_CURRENT_LIST_DIR}/check-windows-program.cmake)
endif()
