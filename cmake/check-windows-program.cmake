# Checks the Windows program's header and resources, as Windows reads them:
# ASLR and DEP (and 64-bit ASLR for the 64-bit program), the version
# information with project()'s version, description and licence, and the
# manifest with its supported systems and long paths but no code page of
# its own.  cmake -DPROGRAM=... -DOBJDUMP=... -DWINDRES=... -DVERSION=...
# -DDESCRIPTION=... -DCOPYRIGHT=... -DLICENSE=... -DWIDE=0|1 -P this file.

set(failures)
# expect(TEXT WHAT PATTERN): TEXT matches the regular expression PATTERN.
function(expect text what pattern)
  if(NOT text MATCHES "${pattern}")
    list(APPEND failures "${what}")
    set(failures "${failures}" PARENT_SCOPE)
  endif()
endfunction()

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE header COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "DllCharacteristics[^\n]*(\n\t+[A-Z_]+)*" flags "${header}")
expect("${flags}" "ASLR (DYNAMIC_BASE)" "\tDYNAMIC_BASE")
expect("${flags}" "DEP (NX_COMPAT)" "\tNX_COMPAT")
if(WIDE)
  expect("${flags}" "64-bit ASLR (HIGH_ENTROPY_VA)" "\tHIGH_ENTROPY_VA")
endif()

execute_process(COMMAND ${WINDRES} --input-format coff --output-format rc --input ${PROGRAM}
  OUTPUT_VARIABLE resources COMMAND_ERROR_IS_FATAL ANY)

# 1.30 is 1, 30, 0, 0 in the numeric fields.
string(REPLACE "." ";" numbers "${VERSION}")
list(LENGTH numbers count)
while(count LESS 4)
  list(APPEND numbers 0)
  math(EXPR count "${count} + 1")
endwhile()
list(JOIN numbers ", " numeric)
list(JOIN numbers "." dotted)
string(REPLACE "." "\\." version "${VERSION}")
expect("${resources}" "FILEVERSION ${numeric}" "\n FILEVERSION ${numeric}\n")
expect("${resources}" "PRODUCTVERSION ${numeric}" "\n PRODUCTVERSION ${numeric}\n")
expect("${resources}" "FileVersion ${VERSION}" "VALUE \"FileVersion\", \"${version}\"")
expect("${resources}" "ProductVersion ${VERSION}" "VALUE \"ProductVersion\", \"${version}\"")
expect("${resources}" "ProductName nlflip" "VALUE \"ProductName\", \"nlflip\"")
expect("${resources}" "FileDescription" "VALUE \"FileDescription\", \"nlflip: ${DESCRIPTION}\"")
string(REPLACE "(" "\\(" copyright "${COPYRIGHT}")
string(REPLACE ")" "\\)" copyright "${copyright}")
expect("${resources}" "LegalCopyright with the ${LICENSE} licence"
  "VALUE \"LegalCopyright\", \"${copyright}; ${LICENSE} License\"")

string(REGEX MATCH "\n1 24 /\\* RT_MANIFEST \\*/\nBEGIN\n.*\nEND" manifest "${resources}")
string(REGEX MATCHALL "<supportedOS Id=\"\"{[-0-9a-f]+}\"\"/>" systems "${manifest}")
list(LENGTH systems systems)
expect("${systems}" "five supportedOS entries (Vista to 11)" "^5$")
expect("${manifest}" "the manifest's version ${dotted}" "version=\"\"${dotted}\"\"")
expect("${manifest}" "longPathAware" "<longPathAware [^>]*>true</longPathAware>")
expect("${manifest}" "asInvoker" "requestedExecutionLevel level=\"\"asInvoker\"\"")
if(manifest MATCHES "<activeCodePage")
  list(APPEND failures "no activeCodePage (the program works in the ANSI code page)")
endif()

if(failures)
  list(JOIN failures "\n  " failures)
  message(FATAL_ERROR "${PROGRAM} lacks:\n  ${failures}\n\n${header}\n${resources}")
endif()
message(STATUS "${PROGRAM}: ASLR, DEP, version ${VERSION}, manifest: all present")
