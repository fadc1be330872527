# The flags that a distribution builds its packages with, for the release
# and package builds (NLFLIP_HARDEN).
#
# Linux: those of Debian's dpkg-buildflags with hardening=+all: fortified
# string and stdio calls, a canary in every function with an array, the
# relocations read-only and bound at start (relro, now), and a
# position-independent program whose address the system chooses.
# Windows: address-space layout randomisation (a relocatable image, with
# 64-bit addresses for the 64-bit program) and no execution from data pages.
#
# Both: no build path enters an object (sources are named relative to the
# source folder, as dpkg-buildflags does) and, on Windows, no link time, so
# that two builds of one commit give the same bytes.
option(NLFLIP_HARDEN "Build with the hardening and reproducibility flags of the release" OFF)

if(NLFLIP_HARDEN)
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
  if(WIN32)
    add_link_options(LINKER:--dynamicbase LINKER:--nxcompat LINKER:--no-insert-timestamp)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      add_link_options(LINKER:--high-entropy-va)
    endif()
  else()
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    add_compile_definitions(_FORTIFY_SOURCE=2)
    add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
    add_link_options(LINKER:-z,relro LINKER:-z,now)
  endif()
endif()
