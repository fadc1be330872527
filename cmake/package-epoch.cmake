# CPack reads this before it installs the files for each archive: the time
# that every archive records, SOURCE_DATE_EPOCH, is the last commit's (unless
# the environment sets it), so that two builds of one commit give the same
# bytes.  Everything that CPack runs sees it: the strip of the Windows
# program writes it into the program's header, package-stage.cmake gives it
# to every file, the DEB generator and package-finish.cmake to the archives.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${CPACK_NLFLIP_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE no_commit ERROR_QUIET)
  if(no_commit OR epoch STREQUAL "")
    # A clone whose history cannot be read (no git installed) would date
    # its archives otherwise than its commit: it says so instead.
    if(EXISTS ${CPACK_NLFLIP_SOURCE_DIR}/.git)
      message(FATAL_ERROR "The archives are dated by the last commit, which git could not "
                          "read here: install git, or set SOURCE_DATE_EPOCH.")
    endif()
    # A copy of the sources without their history: the changelog's time.
    file(TIMESTAMP ${CPACK_NLFLIP_SOURCE_DIR}/CHANGELOG.md epoch "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
