# The masking core's dependencies and library, shared by the main build and
# the fuzz build.
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)
find_path(GMP_INCLUDE_DIR gmp.h REQUIRED)
find_library(GMP_LIBRARY gmp REQUIRED)
find_path(MIMALLOC_INCLUDE_DIR mimalloc.h REQUIRED)
find_package(Boost 1.81 CONFIG REQUIRED)

file(GLOB ZORVA_CORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/src/*.cpp)

# zorva_core_library(name): the core as a static library called name.
function(zorva_core_library name)
  add_library(${name} STATIC ${ZORVA_CORE_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/src ${GMP_INCLUDE_DIR}
                                              ${MIMALLOC_INCLUDE_DIR})
  target_link_libraries(${name} PUBLIC OpenSSL::Crypto ${GMP_LIBRARY} Boost::headers Threads::Threads
                                       ${CMAKE_DL_LIBS})
endfunction()
