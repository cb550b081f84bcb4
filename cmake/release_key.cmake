# A build to publish (QUORVIN_RELEASE, set by the win32-release preset) needs a
# publisher key: an installer without one checks no signature, and anyone on
# the path could hand its users any list of files. QUORVIN_UNSIGNED=ON builds
# one anyway, on purpose. Also run as a script by the tests:
#   cmake -DRELEASE=ON -DKEY= -DUNSIGNED=OFF -P cmake/release_key.cmake
function(quorvin_check_release_key release key unsigned)
  if(release AND "${key}" STREQUAL "" AND NOT unsigned)
    message(FATAL_ERROR "A release build needs QUORVIN_PUBLISHER_KEY, the base64 line of the "
            "publisher's minisign.pub: an installer without it checks no signature. Give "
            "-DQUORVIN_UNSIGNED=ON to build an unsigned installer anyway.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  quorvin_check_release_key("${RELEASE}" "${KEY}" "${UNSIGNED}")
  message(STATUS "release key: accepted")
endif()
