# Sanitizers for every target of the project: NLFLIP_SANITIZE is a -fsanitize=
# list, and any finding ends the program.  NLFLIP_FUZZ adds libFuzzer's
# coverage to every target; only the fuzz targets link its driver.
set(NLFLIP_SANITIZE "" CACHE STRING "Sanitizers for every target, as a -fsanitize= list")
option(NLFLIP_FUZZ "Build the libFuzzer targets of fuzz/ (clang)" OFF)

if(NLFLIP_SANITIZE)
  add_compile_options(-fsanitize=${NLFLIP_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${NLFLIP_SANITIZE})
endif()
if(NLFLIP_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
