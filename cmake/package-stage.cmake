# CPack runs this on the staged files before it builds each archive.
#
# Every archive: the files' times become SOURCE_DATE_EPOCH (see
# package-epoch.cmake), their modes rw-r--r-- or rwxr-xr-x, so that two
# builds of one commit give the same bytes.  Linux programs and static
# libraries lose the sections that only name the compiler (.comment, .note),
# as Debian's dh_strip does.
#
# The .debs get what Debian's tools would give them: in
# usr/share/doc/<package>, the licence as a machine-readable copyright file,
# the changelog as a Debian changelog, changelog.gz, the README and its
# docs/ pages compressed; the manual pages compressed.  Debian compresses
# with gzip -9n.

if(CPACK_NLFLIP_STRIP)
  file(GLOB_RECURSE staged ${CPACK_TEMPORARY_DIRECTORY}/*)
  foreach(file IN LISTS staged)
    if(file MATCHES "/bin/[^/]+$")
      execute_process(COMMAND ${CPACK_NLFLIP_STRIP} --remove-section=.comment
        --remove-section=.note ${file} COMMAND_ERROR_IS_FATAL ANY)
    elseif(file MATCHES "\\.a$")
      execute_process(COMMAND ${CPACK_NLFLIP_STRIP} --strip-debug --remove-section=.comment
        --remove-section=.note --enable-deterministic-archives ${file} COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
endif()

if(CPACK_GENERATOR STREQUAL "DEB")
  file(GLOB_RECURSE pages ${CPACK_TEMPORARY_DIRECTORY}/*.1)
  if(pages)
    execute_process(COMMAND gzip -9n ${pages} COMMAND_ERROR_IS_FATAL ANY)
  endif()

  # The licence as DEP-5: its copyright line as the Copyright field, its
  # text, indented, with " ." for empty lines, as the licence's.
  file(STRINGS ${CPACK_RESOURCE_FILE_LICENSE} licence_lines)
  set(holder)
  set(licence_text)
  foreach(line IN LISTS licence_lines)
    if(line MATCHES "^Copyright \\(c\\) (.*)$")
      set(holder ${CMAKE_MATCH_1})
    elseif(holder)
      if(line STREQUAL "")
        string(APPEND licence_text "\n .")
      else()
        string(APPEND licence_text "\n ${line}")
      endif()
    endif()
  endforeach()
  string(REGEX REPLACE "^\n \\." "" licence_text "${licence_text}")
  set(copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${holder}
License: ${CPACK_PACKAGE_LICENSE}${licence_text}
")

  # Each package's documentation folder is where its changelog is.
  file(GLOB_RECURSE changelogs ${CPACK_TEMPORARY_DIRECTORY}/CHANGELOG.md)
  foreach(changelog IN LISTS changelogs)
    cmake_path(GET changelog PARENT_PATH doc)
    file(REMOVE ${doc}/LICENSE)
    file(WRITE ${doc}/copyright "${copyright}")
    execute_process(
      COMMAND awk -v package=${CPACK_PACKAGE_NAME} -v maintainer=${CPACK_PACKAGE_CONTACT}
        -f ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.awk ${changelog}
      OUTPUT_FILE ${doc}/changelog
      COMMAND_ERROR_IS_FATAL ANY)
    file(STRINGS ${doc}/changelog latest LIMIT_COUNT 1)
    if(NOT latest MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
      message(FATAL_ERROR "CHANGELOG.md has no section [${CPACK_PACKAGE_VERSION}] - DATE on top")
    endif()
    file(REMOVE ${changelog})
    file(GLOB compress ${doc}/changelog ${doc}/README.md ${doc}/docs/*.md)
    execute_process(COMMAND gzip -9n ${compress} COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()

execute_process(COMMAND chmod -R u+rwX,go+rX,go-w ${CPACK_TEMPORARY_DIRECTORY}
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -exec
  touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
  COMMAND_ERROR_IS_FATAL ANY)
