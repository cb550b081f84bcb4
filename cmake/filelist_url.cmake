# The manifest URL built into the installer must be one it can fetch. The rule
# is the program's own (src/rules/urls.cpp), compiled here for the build machine
# and asked, so that the build and the program never disagree.
#   cmake -DURL=... -P cmake/filelist_url.cmake     checks one URL by hand
set(QUORVIN_URL_RULE_DIR "${CMAKE_CURRENT_LIST_DIR}")
function(quorvin_check_filelist_url url)
  find_program(QUORVIN_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(src "${QUORVIN_URL_RULE_DIR}/..")
  set(checker "${CMAKE_BINARY_DIR}/url-rule/check_url")
  if(NOT EXISTS "${checker}" OR "${src}/src/rules/urls.cpp" IS_NEWER_THAN "${checker}"
     OR "${QUORVIN_URL_RULE_DIR}/check_url.cpp" IS_NEWER_THAN "${checker}")
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/url-rule")
    string(RANDOM LENGTH 8 tag)
    execute_process(COMMAND "${QUORVIN_HOST_CXX}" -std=c++17 -O1 -I "${src}/src"
                            "${QUORVIN_URL_RULE_DIR}/check_url.cpp" "${src}/src/rules/urls.cpp"
                            -o "${checker}.${tag}"
                    RESULT_VARIABLE built ERROR_VARIABLE errors)
    if(NOT built EQUAL 0)
      message(FATAL_ERROR "The URL rule could not be compiled for this machine:\n${errors}")
    endif()
    file(RENAME "${checker}.${tag}" "${checker}")
  endif()
  execute_process(COMMAND "${checker}" "${url}" RESULT_VARIABLE refused OUTPUT_VARIABLE why)
  if(NOT refused EQUAL 0)
    message(FATAL_ERROR "QUORVIN_FILELIST_URL \"${url}\": ${why}. Give the URL of filelist.txt, "
                        "e.g. -DQUORVIN_FILELIST_URL=http://downloads.example/quorvin/filelist.txt")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED URL)
  quorvin_check_filelist_url("${URL}")
endif()
