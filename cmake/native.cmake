# Native Linux build: the portable modules over the POSIX seam and the headless
# window system, and their tests.
# The program over the seam: what the tests link.
add_library(quorvin_native INTERFACE)
target_link_libraries(quorvin_native INTERFACE quorvin_core quorvin_ui quorvin_os)

file(GLOB QUORVIN_TOOL_DIRS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*)
foreach(dir ${QUORVIN_TOOL_DIRS})
  if(EXISTS ${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

if(QUORVIN_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
