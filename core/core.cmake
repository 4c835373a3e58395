# The masking core's dependencies and library, shared by the main build and
# the fuzz build.
#
# With ZORVA_STATIC_DEPS the core takes libcrypto from its static archive
# (Debian's libssl-dev ships it, position-independent), so an extension module
# linked from it needs no libcrypto at run time; without the archive the shared
# library is linked and the wheel build vendors it beside the module. GMP stays
# shared: Debian's libgmp.a reaches stdio's streams (stderr, stdout) by direct
# PC-relative addressing, which a shared object cannot resolve, so the wheel
# build vendors libgmp beside the module instead.
if(ZORVA_STATIC_DEPS)
  find_library(ZORVA_CRYPTO_ARCHIVE NAMES libcrypto.a)
  if(ZORVA_CRYPTO_ARCHIVE)
    set(OPENSSL_USE_STATIC_LIBS TRUE)
  else()
    message(WARNING "libcrypto.a not found: linking the shared libcrypto, which the wheel then carries")
  endif()
endif()
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
find_path(GMP_INCLUDE_DIR gmp.h REQUIRED)
find_library(GMP_LIBRARY gmp REQUIRED)
find_path(MIMALLOC_INCLUDE_DIR mimalloc.h REQUIRED)

file(GLOB ZORVA_CORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/src/*.cpp
     ${CMAKE_CURRENT_LIST_DIR}/src/number/*.cpp)

# zorva_core_library(name): the core as a static library called name.
function(zorva_core_library name)
  add_library(${name} STATIC ${ZORVA_CORE_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/src ${GMP_INCLUDE_DIR}
                                              ${MIMALLOC_INCLUDE_DIR})
  target_link_libraries(${name} PUBLIC OpenSSL::Crypto ${GMP_LIBRARY} Threads::Threads
                                       ${CMAKE_DL_LIBS})
endfunction()
