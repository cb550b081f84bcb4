# zlib and minizip (unzip and zip interfaces), installed, never copied.
# Natively: Debian's zlib1g-dev and libminizip-dev. For Windows: the MinGW zlib
# package and minizip compiled from Debian's zlib source package (scripts/bootstrap).
# The fuzzing build compiles minizip from those sources too when they are there,
# so that the fuzzer sees coverage inside the archive reader.
set(QUORVIN_MINIZIP_FROM_SOURCE ${WIN32})
if(QUORVIN_FUZZ AND EXISTS "${CMAKE_SOURCE_DIR}/.deps/zlib-src/contrib/minizip/unzip.c")
  set(QUORVIN_MINIZIP_FROM_SOURCE ON)
endif()
if(QUORVIN_MINIZIP_FROM_SOURCE)
  set(QUORVIN_MINIZIP_SRC "${CMAKE_SOURCE_DIR}/.deps/zlib-src/contrib/minizip"
      CACHE PATH "minizip sources from Debian's zlib source package")
  if(NOT EXISTS "${QUORVIN_MINIZIP_SRC}/unzip.c")
    message(FATAL_ERROR "minizip sources missing at ${QUORVIN_MINIZIP_SRC}: run scripts/bootstrap")
  endif()
  find_library(QUORVIN_ZLIB NAMES libz.a z REQUIRED)
  add_library(quorvin_minizip STATIC
    ${QUORVIN_MINIZIP_SRC}/unzip.c ${QUORVIN_MINIZIP_SRC}/zip.c ${QUORVIN_MINIZIP_SRC}/ioapi.c)
  target_include_directories(quorvin_minizip SYSTEM PUBLIC ${QUORVIN_MINIZIP_SRC})
  target_compile_definitions(quorvin_minizip PRIVATE NOCRYPT NOUNCRYPT)
  target_compile_options(quorvin_minizip PRIVATE -w)
  target_link_libraries(quorvin_minizip PUBLIC ${QUORVIN_ZLIB})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
  find_package(ZLIB REQUIRED)
  add_library(quorvin_minizip INTERFACE)
  target_link_libraries(quorvin_minizip INTERFACE PkgConfig::MINIZIP ZLIB::ZLIB)
endif()

# libsodium (Ed25519, BLAKE2b, SHA-256, base64), installed, never copied.
# Natively: Debian's libsodium-dev. For Windows: the static library that
# scripts/bootstrap builds with MinGW from Debian's libsodium source package.
if(WIN32)
  set(QUORVIN_SODIUM_DIR "${CMAKE_SOURCE_DIR}/.deps/libsodium-mingw"
      CACHE PATH "libsodium built for MinGW from Debian's source package")
  if(NOT EXISTS "${QUORVIN_SODIUM_DIR}/lib/libsodium.a")
    message(FATAL_ERROR "libsodium for MinGW missing at ${QUORVIN_SODIUM_DIR}: run scripts/bootstrap")
  endif()
  add_library(quorvin_sodium STATIC IMPORTED)
  set_target_properties(quorvin_sodium PROPERTIES
    IMPORTED_LOCATION "${QUORVIN_SODIUM_DIR}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QUORVIN_SODIUM_DIR}/include"
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
    INTERFACE_LINK_LIBRARIES advapi32)  # its random source, RtlGenRandom
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(quorvin_sodium INTERFACE)
  target_link_libraries(quorvin_sodium INTERFACE PkgConfig::SODIUM)
endif()
