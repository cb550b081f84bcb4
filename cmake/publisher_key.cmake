# The publisher key: the base64 line of a minisign.pub, or several separated by
# ';' (a CMake list), of which any may sign. The program refers to it as
# publisher_key; its definition lives in a translation unit of its own.
#
# quorvin_key_source(OUT KEY NAME) writes generated/NAME.cpp holding KEY and puts
# its path in OUT. The core library links the one of QUORVIN_PUBLISHER_KEY as a
# library of its own; a program that lists another such file among its sources
# carries that key instead (the linker then never takes the library's).
function(quorvin_key_source out key name)
  set(lines "")
  foreach(line IN LISTS key)
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    if(NOT line MATCHES "^RW[A-Za-z0-9+/]+$")
      message(FATAL_ERROR "${name}: \"${line}\" is not the base64 line of a minisign.pub")
    endif()
    string(LENGTH "${line}" length)
    if(NOT length EQUAL 56)
      message(FATAL_ERROR "${name}: a minisign public key line has 56 characters, not ${length}")
    endif()
    list(APPEND lines "${line}")
  endforeach()
  list(JOIN lines ";" QUORVIN_KEY_LINE)
  set(path ${CMAKE_BINARY_DIR}/generated/${name}.cpp)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/publisher_key.cpp.in ${path} @ONLY)
  set(${out} ${path} PARENT_SCOPE)
endfunction()
