# The platform seam on Windows: quorvin_os (Winsock 1.1, Schannel TLS, the proxy
# settings through WinHTTP, threads, files, process)
# and quorvin_ui (the dialog from template 100, message boxes, the folder picker).
# winmain.cpp, the entry point, goes into each program itself.
# Only the libraries a target asks for (not CMake's default list of Windows
# libraries), so that a console tool links no window-system code at all.
set(CMAKE_C_STANDARD_LIBRARIES "-lkernel32")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lkernel32")
set(QUORVIN_WIN32_DIR ${CMAKE_SOURCE_DIR}/src/platform/win32)
add_library(quorvin_os STATIC ${QUORVIN_WIN32_DIR}/platform_win32.cpp ${QUORVIN_WIN32_DIR}/dirs_win32.cpp
            ${QUORVIN_WIN32_DIR}/tls_win32.cpp ${QUORVIN_WIN32_DIR}/proxy_win32.cpp)
target_include_directories(quorvin_os PUBLIC ${CMAKE_SOURCE_DIR}/src)
# winhttp only finds the proxy; the requests stay the program's own.
target_link_libraries(quorvin_os PUBLIC wsock32 secur32 crypt32 winhttp)
add_library(quorvin_ui STATIC ${QUORVIN_WIN32_DIR}/ui_win32.cpp)
target_include_directories(quorvin_ui PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
target_link_libraries(quorvin_ui PUBLIC quorvin_os user32 comctl32 shell32 ole32)
