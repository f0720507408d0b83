# The crypto library (Ed25519 signatures and SHA-256): the system's libgcrypt
# natively; for the win32 target the mingw-w64 build, linked statically with
# its error library so that nothing extra ships beside the programs.
# Defines the interface target renewel_gcrypt.
add_library(renewel_gcrypt INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_path(GCRYPT_INCLUDE_DIR gcrypt.h REQUIRED)
  find_library(GCRYPT_STATIC_LIBRARY NAMES libgcrypt.a REQUIRED)
  find_library(GPG_ERROR_STATIC_LIBRARY NAMES libgpg-error.a REQUIRED)
  target_include_directories(renewel_gcrypt SYSTEM INTERFACE ${GCRYPT_INCLUDE_DIR})
  target_link_libraries(renewel_gcrypt INTERFACE ${GCRYPT_STATIC_LIBRARY} ${GPG_ERROR_STATIC_LIBRARY} ws2_32)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  target_link_libraries(renewel_gcrypt INTERFACE PkgConfig::GCRYPT)
endif()
