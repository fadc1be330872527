# CPack runs this on the archives of each generator once they are built,
# before it copies them into the build folder.
#
# The .tar.gz and the .zip are packed again from the same staged files:
# CPack's archive generators write the time of packing and the file system's
# order into them.  Now the members are sorted by name, owned by root and
# dated SOURCE_DATE_EPOCH (package-epoch.cmake; package-stage.cmake set
# their times and modes), and the .zip carries no local time zone, user or group.  The .deb
# is already reproducible.
#
# Then SHA256SUMS beside the archives gets their checksums, for
# `sha256sum -c SHA256SUMS`; the lines of archives that are gone are dropped.

cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH stage)
cmake_path(GET CPACK_TEMPORARY_DIRECTORY FILENAME top)
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  if(archive MATCHES "\\.tar\\.gz$")
    execute_process(
      COMMAND tar --create --format=gnu --sort=name --owner=root:0 --group=root:0
        --mtime=@$ENV{SOURCE_DATE_EPOCH} --directory=${stage} ${top}
      COMMAND gzip -9n
      OUTPUT_FILE ${archive}
      COMMAND_ERROR_IS_FATAL ANY)
  elseif(archive MATCHES "\\.zip$")
    file(GLOB_RECURSE members LIST_DIRECTORIES true RELATIVE ${stage} ${CPACK_TEMPORARY_DIRECTORY}/*)
    file(REMOVE ${archive})
    execute_process(COMMAND env TZ=UTC0 zip -X -q ${archive} ${top} ${members}
      WORKING_DIRECTORY ${stage}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

set(sums_file ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS)
set(entries)
set(current)
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  cmake_path(GET archive FILENAME name)
  file(SHA256 ${archive} hash)
  list(APPEND entries "${name}  ${hash}")
  list(APPEND current ${name})
endforeach()
if(EXISTS ${sums_file})
  file(STRINGS ${sums_file} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^([0-9a-f]+)  (.+)$" AND NOT CMAKE_MATCH_2 IN_LIST current
       AND EXISTS ${CPACK_PACKAGE_DIRECTORY}/${CMAKE_MATCH_2})
      list(APPEND entries "${CMAKE_MATCH_2}  ${CMAKE_MATCH_1}")
    endif()
  endforeach()
endif()
list(SORT entries)
set(sums)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^(.+)  ([0-9a-f]+)$" "\\2  \\1\n" line "${entry}")
  string(APPEND sums "${line}")
endforeach()
file(WRITE ${sums_file} "${sums}")
