# Install rules of the library, in two components: `runtime` (the shared library) and
# `development` (headers, the static library or the .so link, CMake package config, pkg-config).
# The tools add their own components where they are defined.
include(CMakePackageConfigHelpers)
set(TARN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarn)

set(TARN_INSTALLED_TARGETS tarn_core tarn_json)
if(TARGET tarn_c)
  list(APPEND TARN_INSTALLED_TARGETS tarn_c)
endif()
install(TARGETS ${TARN_INSTALLED_TARGETS} EXPORT tarnTargets
  RUNTIME COMPONENT runtime
  LIBRARY COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE COMPONENT development)
set(TARN_HEADER_EXCLUDES)
if(NOT TARGET tarn_c)
  set(TARN_HEADER_EXCLUDES REGEX "/tarn/c$" EXCLUDE)
endif()
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development ${TARN_HEADER_EXCLUDES})
install(EXPORT tarnTargets NAMESPACE tarn:: DESTINATION ${TARN_CMAKE_DIR} COMPONENT development)

get_target_property(TARN_LIBRARY_TYPE tarn_core TYPE)
configure_package_config_file(cmake/tarnConfig.cmake.in ${PROJECT_BINARY_DIR}/tarnConfig.cmake
  INSTALL_DESTINATION ${TARN_CMAKE_DIR})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnConfig.cmake ${PROJECT_BINARY_DIR}/tarnConfigVersion.cmake
  cmake/tarnAsio.cmake
  DESTINATION ${TARN_CMAKE_DIR} COMPONENT development)

# pkg-config, with paths relative to its prefix where the install layout allows.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TARN_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(TARN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TARN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(TARN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# A shared tarn links its dependencies itself, so its users need nothing else; a static one
# passes them on to every link.
set(TARN_PC_REQUIRES "")
if(NOT TARN_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(TARN_PC_REQUIRES "simdjson libcurl libssl libcrypto liburiparser icu-uc libsecret-1")
endif()
configure_file(cmake/tarn-core.pc.in ${PROJECT_BINARY_DIR}/tarn-core.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarn-core.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The C interface is always a shared library carrying what it needs, so C programs link it alone.
if(TARGET tarn_c)
  configure_file(cmake/tarn-c.pc.in ${PROJECT_BINARY_DIR}/tarn-c.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tarn-c.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endif()

# The Python binding (component `python`): the package `tarn` as pip installs it (tarn.py as its
# __init__, the type stub, the py.typed marker), where Debian's python3 looks for the system's
# packages. It loads libtarn-c.so.0 of the runtime component through the system's loader.
if(TARGET tarn_c)
  set(TARN_PYTHON_DIR lib/python3/dist-packages CACHE STRING "Where the Python package tarn is installed")
  file(TOUCH ${PROJECT_BINARY_DIR}/py.typed)
  set(binding ${PROJECT_SOURCE_DIR}/bindings/python)
  install(FILES ${binding}/tarn.py DESTINATION ${TARN_PYTHON_DIR}/tarn RENAME __init__.py COMPONENT python)
  install(FILES ${binding}/tarn.pyi DESTINATION ${TARN_PYTHON_DIR}/tarn RENAME __init__.pyi COMPONENT python)
  install(FILES ${PROJECT_BINARY_DIR}/py.typed DESTINATION ${TARN_PYTHON_DIR}/tarn COMPONENT python)
endif()
