# Install rules and the Debian packages cut from them with CPack:
#
#   cpack --preset amd64     from build/native   (scripts/package.sh amd64)
#   cpack --preset armhf     from build/armhf    (scripts/package.sh armhf)
#
# Three packages, one per install component (cmake/install.cmake), versioned
# with the project: libplcdriver1 (runtime), libplcdriver-dev (header,
# pkg-config file, CMake package) and plcdriver-tools (plc-host, plc-sim, man
# pages, demo project). The armhf build has no libmodbus, so no tools there.
# Every file is stripped; the library carries no RUNPATH.
include(${CMAKE_CURRENT_LIST_DIR}/install.cmake)

option(PLC_PACKAGE_TESTS "Register the checks of the packages in dist/" OFF)
if(PLC_PACKAGE_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/package ${PROJECT_BINARY_DIR}/tests/package)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plcdriver)
set(CPACK_PACKAGE_VENDOR "plcdriver")
set(CPACK_PACKAGE_CONTACT "plcdriver maintainers <plcdriver@example.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET plc-host)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)  # dev and tools: libplcdriver1 (= version)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${PLC_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs control file for packages holding shared libraries (CPack adds
# the ldconfig calls itself).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "controller communication driver for operator-panel runtimes
libplcdriver.so.1, loaded by an operator-panel runtime built on Qt 5 to talk
to programmable controllers over one serial link: Modbus RTU functions 1, 2,
3, 4, 5, 6 and 16, or the driver's own remote framing.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${PLC_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qtbase5-dev (>= 5.15)")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "controller communication driver, development files
The header with the records shared with the host, the pkg-config file
(plcdriver) and the CMake package (find_package(plcdriver), target
plcdriver::plcdriver), and the integration guide.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${PLC_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "controller communication driver, commissioning tools
plc-host loads the driver and polls controllers over a serial line (or a
built-in simulated controller); plc-sim is a simulated controller on a
pseudo-terminal or serial line. With the demo project.")

if(NOT CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps works out the minimum versions of Qt, libmodbus and the C
  # and C++ runtimes from the symbols each binary imports.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # dpkg-shlibdeps cannot see the target's package database, so the runtime
  # dependencies are stated here; tests/package/check-depends.sh proves them
  # exact against the symbols the library imports.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
      "libc6 (>= 2.4), libgcc-s1 (>= 3.5), libqt5core5a (>= 5.3.0), libstdc++6 (>= 11)")
  execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()

include(CPack)
