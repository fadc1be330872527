# The same Windows program for 64-bit Windows.  Wine runs it with its 64-bit
# loader alone, which hosts that cannot execute 32-bit code still can.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
find_program(WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE64})
# 64-bit Windows aligns the stack to 16 bytes and GCC cannot realign it
# there: a 32-byte AVX value spilled to it must be moved unaligned.
set(CMAKE_CXX_FLAGS_INIT -Wa,-muse-unaligned-vector-move)
