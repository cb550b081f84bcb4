# The platform seam on Linux: quorvin_os over POSIX, and quorvin_ui, the headless
# model of the wizard's dialog that the native tests drive. The model's controls
# and texts are read from the dialog template itself (scripts/dialog_table.py).
file(GLOB QUORVIN_POSIX_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/posix/*.cpp)
add_library(quorvin_os STATIC ${QUORVIN_POSIX_SOURCES})
target_include_directories(quorvin_os PUBLIC ${CMAKE_SOURCE_DIR}/src)
find_package(Threads REQUIRED)
# TLS through the system's OpenSSL (Debian's libssl-dev).
find_package(OpenSSL REQUIRED COMPONENTS SSL)
target_link_libraries(quorvin_os PUBLIC Threads::Threads OpenSSL::SSL)

set(QUORVIN_DIALOG_TABLE ${CMAKE_BINARY_DIR}/generated/dialog_table.inc)
add_custom_command(
  OUTPUT ${QUORVIN_DIALOG_TABLE}
  COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/dialog_table.py ${CMAKE_SOURCE_DIR}/resources/quorvin.rc
          ${QUORVIN_DIALOG_TABLE}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/dialog_table.py ${CMAKE_SOURCE_DIR}/resources/quorvin.rc
  COMMENT "Reading the dialog template for the headless model")
file(GLOB QUORVIN_HEADLESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/headless/*.cpp)
add_library(quorvin_ui STATIC ${QUORVIN_HEADLESS_SOURCES} ${QUORVIN_DIALOG_TABLE})
target_include_directories(quorvin_ui PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}
                           PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(quorvin_ui PUBLIC quorvin_os)
