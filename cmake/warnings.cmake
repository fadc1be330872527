# Strict warnings for every target of the project; -Werror where the preset asks for it.
add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual
  -Wformat=2 -Wundef -Wnull-dereference -Wold-style-cast)
if(NLFLIP_WERROR)
  target_compile_options(project_warnings INTERFACE -Werror)
endif()
