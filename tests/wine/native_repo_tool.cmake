# Brings the native preset's quorvin-repo up to date for the end-to-end tests,
# configuring build/native with that preset first when it has not been, so that
# the win32 build needs no native build beforehand. Run by the win32 build:
#   cmake -DSOURCE_DIR=<checkout> -P tests/wine/native_repo_tool.cmake
set(native ${SOURCE_DIR}/build/native)
if(NOT EXISTS ${native}/build.ninja)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset native WORKING_DIRECTORY ${SOURCE_DIR}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "The native preset (${native}) could not be configured; the Wine "
            "end-to-end tests need its quorvin-repo (or set QUORVIN_REPO_TOOL to a native quorvin-repo).")
  endif()
endif()
# Ninja finds nothing to do when the native build is up to date.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${native} --target quorvin-repo RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "The native quorvin-repo in ${native} did not build (output above).")
endif()
