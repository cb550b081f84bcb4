# Cross-compiling the Windows program with MinGW-w64 for i686: the shipped build.
set(QUORVIN_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
