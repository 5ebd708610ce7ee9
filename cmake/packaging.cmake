# Debian packages from CPack, one per install component:
#   libtarn-core0      runtime      the shared libraries (libtarn-core, and libtarn-c, its C interface)
#   libtarn-core-dev   development  headers, .so link, CMake package config, pkg-config file
#   tarnctl            tools        the command-line client and the tunnel service (tarn-tunnel)
#   tarn-devserver     devserver    the development backend
#   python3-tarn       python       the Python binding (the package `tarn`), architecture-independent
# Build them from a shared Release build configured with CMAKE_INSTALL_PREFIX=/usr
# (the `package` preset): cpack --preset package
set(CPACK_PACKAGE_NAME tarn-core)
set(CPACK_PACKAGE_VENDOR "Tarn VPN")
set(CPACK_PACKAGE_CONTACT "Tarn VPN Core developers <maintainers@tarn.dev>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package has its own synopsis, the first line of its description below.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools devserver)
# The Python binding calls the C interface.
if(TARGET tarn_c)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tarn.dev")
set(CPACK_STRIP_FILES ON)
# Dependencies on shared libraries come from dpkg-shlibdeps; the tools' link to the library is found
# in the build tree, and the dependency on its package is stated with the exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarn-core${PROJECT_VERSION_MAJOR})
# Only this package holds a shared object, so only it gets a shlibs file. The dynamic linker's
# cache is refreshed by the ldconfig trigger; the empty maintainer scripts stand in for CPack's
# own, which would call ldconfig directly.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/triggers
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Tarn VPN client core library\nThe non-interface core of the Tarn VPN desktop app: a typed asynchronous\nclient for the backend's REST API, its JSON records, token storage in the\nSecret Service and the connection profile handed to the tunnel process.\nlibtarn-c offers the same as a non-blocking C interface with callbacks.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarn-core-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
# The public headers use Asio.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libasio-dev")
# tarn/json/json_codec.hpp, for records of the application's own, includes simdjson.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "libsimdjson-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Tarn VPN client core library - development files\nHeaders, the CMake package (find_package(tarn), target tarn::core) and the\npkg-config file (tarn-core) for building applications with the Tarn VPN\nclient core.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarnctl)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# tarn-tunnel runs an Xray-compatible core: xray when installed, else Debian's v2ray.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "v2ray")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "qrencode")
# The shared directory and its group.
# Its maintainer script adds the group.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/tools/postinst)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "Tarn VPN command-line client\ntarnctl signs in, lists servers, fetches connection profiles and calls every\noperation of the Tarn VPN backend from the command line. tarn-tunnel carries\nthe traffic of the profile tarnctl connects to: as a systemd user service\nthrough local proxies, or as a system service for all traffic with a kill\nswitch.")

set(CPACK_DEBIAN_DEVSERVER_PACKAGE_NAME tarn-devserver)
set(CPACK_DEBIAN_DEVSERVER_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEVSERVER_DESCRIPTION
  "Tarn VPN development backend\nA development server that speaks the whole Tarn VPN REST API on loopback,\nwith seeded accounts and fault injection, for testing clients.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tarn)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# Python source only; it loads libtarn-c.so.0 from the runtime package at import.
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/python/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/python/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "Tarn VPN client core library - Python binding\nThe package tarn: a client of the Tarn VPN backend with one method per\noperation, whose calls are concurrent.futures futures that asyncio can await,\ntoken storage and the connection profile handed to the tunnel, with type\nhints. It calls the C interface of the core library (libtarn-c) with ctypes.")

# Every package carries its copyright file and changelog where Debian expects them.
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(docdir ${PROJECT_BINARY_DIR}/packaging/${package})
  file(MAKE_DIRECTORY ${docdir})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${docdir}/copyright COPYONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${docdir}/changelog @ONLY)
  execute_process(COMMAND gzip -n -9 -f ${docdir}/changelog COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${docdir}/copyright ${docdir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
