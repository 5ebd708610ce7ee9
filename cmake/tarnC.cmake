# tarn::c, libtarn-c.so: the C interface (include/tarn/c/tarn.h) for C programs and for bindings
# that load a shared library at run time (Python ctypes, Dart FFI, Node, Rust). Always shared, so
# that a binding can load it from any build; over a static tarn_core it carries the whole library
# inside and exports tarn_* alone.
file(GLOB TARN_C_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/c/*.cpp)
add_library(tarn_c SHARED ${TARN_C_SOURCES})
add_library(tarn::c ALIAS tarn_c)
set_target_properties(tarn_c PROPERTIES
  OUTPUT_NAME tarn-c EXPORT_NAME c
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_compile_definitions(tarn_c PRIVATE TARN_C_BUILDING TARN_C_VERSION="${PROJECT_VERSION}")
target_include_directories(tarn_c
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(tarn_c PRIVATE tarn::core tarn::json $<BUILD_INTERFACE:tarn_warnings>)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Over a shared tarn_core the coroutines here run the library's code inside this library's
  # io_context::run(), so Asio's process-wide objects must be the same copy in both: exported,
  # as libtarn-core exports them. Over a static one nothing of Asio needs to leave.
  get_target_property(tarn_core_type tarn_core TYPE)
  if(tarn_core_type STREQUAL "SHARED_LIBRARY")
    set(TARN_C_SHARED_ASIO "_Z*4asio*; _ZN*asio_*_fn*;")
  else()
    set(TARN_C_SHARED_ASIO "")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tarn-c.map.in ${PROJECT_BINARY_DIR}/tarn-c.map @ONLY)
  target_link_options(tarn_c PRIVATE "LINKER:--version-script=${PROJECT_BINARY_DIR}/tarn-c.map")
  set_property(TARGET tarn_c APPEND PROPERTY LINK_DEPENDS ${PROJECT_BINARY_DIR}/tarn-c.map)
  # Sanitizer runtimes come with the executable, so their symbols are undefined here.
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_link_options(tarn_c PRIVATE "LINKER:--no-undefined")
  endif()
endif()
