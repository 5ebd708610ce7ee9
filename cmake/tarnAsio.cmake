# Asio is header-only and ships no CMake package. This gives it a target, tarn::asio, carrying the
# definitions that every translation unit using Asio together with tarn must agree on. The build
# and the installed package config both use this file, so the library and its consumers see Asio
# the same way.
if(TARGET tarn::asio)
  return()
endif()

find_path(TARN_ASIO_INCLUDE_DIR asio.hpp DOC "Directory holding the standalone Asio headers")
if(NOT TARN_ASIO_INCLUDE_DIR)
  set(tarn_asio_FOUND FALSE)
  return()
endif()
set(tarn_asio_FOUND TRUE)

add_library(tarn::asio INTERFACE IMPORTED)
set_target_properties(tarn::asio PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${TARN_ASIO_INCLUDE_DIR}")
# Asio decides between std::aligned_alloc and operator new by whether a libstdc++ header happened
# to come first in the translation unit, so two files of one program can allocate and free the same
# block differently. One choice for every target removes that mismatch.
# Asio 1.22 looks for clang's coroutines only in <experimental/coroutine>, which libstdc++ lacks, so
# without the last two clang would see no asio::awaitable. They follow the compiler of whoever
# consumes the target, not the compiler that built tarn.
set_property(TARGET tarn::asio PROPERTY INTERFACE_COMPILE_DEFINITIONS
  ASIO_DISABLE_STD_ALIGNED_ALLOC
  $<$<CXX_COMPILER_ID:Clang>:ASIO_HAS_CO_AWAIT=1>
  $<$<CXX_COMPILER_ID:Clang>:ASIO_HAS_STD_COROUTINE=1>)
