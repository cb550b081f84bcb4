# The Windows program: quorvin.exe over the Win32 seam, a 32-bit GUI program (the
# win64 preset builds it for x86-64, for the Wine tests alone), linked statically
# so that it needs only the DLLs that Windows itself ships.
set(QUORVIN_RES_DIR ${CMAKE_BINARY_DIR}/resources)
add_custom_command(
  OUTPUT ${QUORVIN_RES_DIR}/quorvin.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVIN_RES_DIR}
  COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/make_icon.py ${QUORVIN_RES_DIR}/quorvin.ico
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make_icon.py
  COMMENT "Drawing the program icon")
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/quorvin.rc PROPERTIES
  OBJECT_DEPENDS "${QUORVIN_RES_DIR}/quorvin.ico;${CMAKE_SOURCE_DIR}/resources/dialog_ids.h;${CMAKE_SOURCE_DIR}/resources/quorvin.manifest;${CMAKE_BINARY_DIR}/generated/quorvin_version.h")

# quorvin_program(TARGET [SOURCES...]): the program; extra sources may bring a
# publisher key of their own (quorvin_key_source) in place of the built-in one.
function(quorvin_program target)
  add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/src/platform/win32/winmain.cpp
                 ${CMAKE_SOURCE_DIR}/resources/quorvin.rc ${QUORVIN_RES_DIR}/quorvin.ico ${ARGN})
  # The resource compiler finds the icon, the manifest and the version header here.
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${QUORVIN_RES_DIR}
                             ${CMAKE_SOURCE_DIR}/resources ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(${target} PRIVATE quorvin_core quorvin_ui quorvin_os)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
                      $<$<CONFIG:MinSizeRel,Release>:-s>)
endfunction()
quorvin_program(quorvin)

# The end-to-end tests under Wine (the unit tests run in the native build).
if(QUORVIN_TESTS)
  enable_testing()
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
endif()

# quorvin-repo as a Windows console program, over the operating-system half of the
# same seam (no window-system code).
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/quorvin-repo ${CMAKE_BINARY_DIR}/tools/quorvin-repo)
target_link_options(quorvin-repo PRIVATE -static -static-libgcc -static-libstdc++ $<$<CONFIG:MinSizeRel,Release>:-s>)

# quorvin.exe must need no DLL beyond those Windows itself ships.
if(QUORVIN_TESTS)
  # The toolchain's own objdump, which CMake finds beside the compiler.
  set(QUORVIN_OBJDUMP ${CMAKE_OBJDUMP})
  add_test(NAME win32_imports_system_dlls_only
           COMMAND bash -c "dlls=$(${QUORVIN_OBJDUMP} -p \"$1\" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr a-z A-Z | sort -u); echo \"$dlls\"; ! echo \"$dlls\" | grep -qvxE 'KERNEL32.DLL|USER32.DLL|COMCTL32.DLL|SHELL32.DLL|OLE32.DLL|WSOCK32.DLL|SECUR32.DLL|CRYPT32.DLL|MSVCRT.DLL|GDI32.DLL|ADVAPI32.DLL|WINHTTP.DLL'"
                   _ $<TARGET_FILE:quorvin>)
  # scripts/sign-exe under throw-away code-signing certificates (openssl, osslsigncode).
  add_test(NAME win32_signing
           COMMAND ${CMAKE_SOURCE_DIR}/tests/sign/check_sign.sh $<TARGET_FILE:quorvin>
                   ${CMAKE_SOURCE_DIR}/scripts/sign-exe ${CMAKE_BINARY_DIR}/test-signing)
  set_tests_properties(win32_signing PROPERTIES TIMEOUT 60)
endif()
