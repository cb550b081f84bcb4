# Cross-compiling the Windows program with MinGW-w64 for x86-64. Not shipped:
# where the kernel starts no 32-bit program, the Wine tests run this build.
set(QUORVIN_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
