# zlib and minizip (unzip and zip interfaces), installed, never copied.
# zlib: Debian's zlib1g-dev natively, the MinGW zlib package for Windows.
# minizip is compiled from Debian's zlib source package (scripts/bootstrap puts
# it in .deps): for Windows there is no other, and natively Debian's libminizip
# 1.1 does not take sizes and offsets from zip64 extra fields on 64-bit hosts
# (an entry whose offset is kept there does not open), so archives past 4 GiB
# would fail. Without the sources the native build falls back to libminizip-dev.
set(QUORVIN_MINIZIP_FROM_SOURCE ${WIN32})
if(EXISTS "${CMAKE_SOURCE_DIR}/.deps/zlib-src/contrib/minizip/unzip.c")
  set(QUORVIN_MINIZIP_FROM_SOURCE ON)
elseif(NOT WIN32)
  message(WARNING "minizip sources missing (run scripts/bootstrap): using libminizip-dev, "
                  "which cannot read zip64 extra fields")
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
  if(WIN32)
    # ioapi.c passes every seek offset through z_off_t, which zconf.h makes a
    # 32-bit long under MinGW unless it sees unistd.h and a 64-bit off_t: without
    # these no seek would reach past 2 GiB. (No zlib call minizip makes takes one.)
    target_compile_definitions(quorvin_minizip PRIVATE HAVE_UNISTD_H _FILE_OFFSET_BITS=64)
  endif()
  target_compile_options(quorvin_minizip PRIVATE -w)
  target_link_libraries(quorvin_minizip PUBLIC ${QUORVIN_ZLIB})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
  find_package(ZLIB REQUIRED)
  add_library(quorvin_minizip INTERFACE)
  target_link_libraries(quorvin_minizip INTERFACE PkgConfig::MINIZIP ZLIB::ZLIB)
endif()

# The x86-64 Windows build (the win64 preset, for the Wine tests where no 32-bit
# program starts) takes its own builds of the two libraries below.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(QUORVIN_MINGW_DEPS_SUFFIX mingw64)
  set(QUORVIN_MINGW_DEPS_HINT " (it builds them for x86-64 only where the kernel starts no 32-bit program)")
else()
  set(QUORVIN_MINGW_DEPS_SUFFIX mingw)
endif()

# libsodium (Ed25519, BLAKE2b, base64), installed, never copied.
# Natively: Debian's libsodium-dev. For Windows: the static library that
# scripts/bootstrap builds with MinGW from Debian's libsodium source package.
if(WIN32)
  set(QUORVIN_SODIUM_DIR "${CMAKE_SOURCE_DIR}/.deps/libsodium-${QUORVIN_MINGW_DEPS_SUFFIX}"
      CACHE PATH "libsodium built for MinGW from Debian's source package")
  if(NOT EXISTS "${QUORVIN_SODIUM_DIR}/lib/libsodium.a")
    message(FATAL_ERROR "libsodium for MinGW missing at ${QUORVIN_SODIUM_DIR}: run scripts/bootstrap${QUORVIN_MINGW_DEPS_HINT}")
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

# SHA-256 of the archives: OpenSSL's, whose x86 code uses the processor's SHA
# instructions where there are any. Natively: Debian's libssl-dev. For Windows:
# the small static library of OpenSSL's SHA-256 alone that scripts/bootstrap
# builds with MinGW from Debian's openssl source package.
if(WIN32)
  set(QUORVIN_OPENSSL_DIR "${CMAKE_SOURCE_DIR}/.deps/openssl-${QUORVIN_MINGW_DEPS_SUFFIX}"
      CACHE PATH "OpenSSL's SHA-256 built for MinGW from Debian's source package")
  if(NOT EXISTS "${QUORVIN_OPENSSL_DIR}/lib/libcrypto-sha256.a")
    message(FATAL_ERROR "OpenSSL's SHA-256 for MinGW missing at ${QUORVIN_OPENSSL_DIR}: run scripts/bootstrap${QUORVIN_MINGW_DEPS_HINT}")
  endif()
  add_library(quorvin_sha256 STATIC IMPORTED)
  set_target_properties(quorvin_sha256 PROPERTIES
    IMPORTED_LOCATION "${QUORVIN_OPENSSL_DIR}/lib/libcrypto-sha256.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QUORVIN_OPENSSL_DIR}/include")
else()
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  add_library(quorvin_sha256 INTERFACE)
  target_link_libraries(quorvin_sha256 INTERFACE OpenSSL::Crypto)
endif()
