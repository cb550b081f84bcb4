# Native Linux build: the portable modules over the POSIX seam and the headless
# window system, and their tests.
file(GLOB QUORVIN_POSIX_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/posix/*.cpp)
add_library(quorvin_posix STATIC ${QUORVIN_POSIX_SOURCES})
target_include_directories(quorvin_posix PUBLIC ${CMAKE_SOURCE_DIR}/src)
find_package(Threads REQUIRED)
target_link_libraries(quorvin_posix PUBLIC Threads::Threads)

file(GLOB QUORVIN_HEADLESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/headless/*.cpp)
add_library(quorvin_headless STATIC ${QUORVIN_HEADLESS_SOURCES})
target_include_directories(quorvin_headless PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(quorvin_headless PUBLIC quorvin_posix)

# The program over the two: what the tests link.
add_library(quorvin_native INTERFACE)
target_link_libraries(quorvin_native INTERFACE quorvin_core quorvin_headless quorvin_posix)

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
