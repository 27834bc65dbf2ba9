# The Qt flavour the driver is built against, behind one imported target,
# PlcQt::Core, that every project target links.
#
#   PLC_QT=5  Qt 5.15 QtCore from the system (the default; the host tool needs it)
#   PLC_QT=4  Qt 4.8 QtCore, the one a Qt 4 panel runtime runs. Its prefix is
#             PLC_QT4_PREFIX when given, else the cached build that
#             scripts/qt4.sh makes for the target architecture (the first
#             configure of a machine builds it, about 5 minutes).
#
# The two flavours are not interchangeable at run time: the records shared
# with the host carry QString, QByteArray and QList values whose private data
# are laid out differently in Qt 4 and Qt 5.
if(NOT PLC_QT STREQUAL "4" AND NOT PLC_QT STREQUAL "5")
  message(FATAL_ERROR "PLC_QT is '${PLC_QT}': choose 4 (Qt 4.8 QtCore) or 5 (Qt 5.15)")
endif()

if(PLC_QT STREQUAL "5")
  find_package(Qt5 5.15 REQUIRED COMPONENTS Core)
  add_library(PlcQt::Core INTERFACE IMPORTED)
  target_link_libraries(PlcQt::Core INTERFACE Qt5::Core)
  # What the installed CMake package and pkg-config file name instead.
  set(PLC_QT_EXPORT_LINK Qt5::Core)
  set(PLC_QT_PKGCONFIG Qt5Core)
  return()
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(_plc_qt4_arch armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_plc_qt4_arch amd64)
else()
  set(_plc_qt4_arch "")
endif()

set(PLC_QT4_PREFIX "" CACHE PATH
    "Qt 4.8 QtCore prefix (include/, lib/libQtCore.so); empty: built by scripts/qt4.sh")
if(PLC_QT4_PREFIX)
  set(_plc_qt4_prefix "${PLC_QT4_PREFIX}")
elseif(_plc_qt4_arch)
  message(STATUS "Qt 4.8 QtCore for ${_plc_qt4_arch}: scripts/qt4.sh (builds it once if not cached)")
  execute_process(
    COMMAND "${PROJECT_SOURCE_DIR}/scripts/qt4.sh" ${_plc_qt4_arch}
    OUTPUT_VARIABLE _plc_qt4_prefix
    RESULT_VARIABLE _plc_qt4_rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _plc_qt4_rc EQUAL 0)
    message(FATAL_ERROR "scripts/qt4.sh ${_plc_qt4_arch} failed; set PLC_QT4_PREFIX to a Qt 4.8 QtCore")
  endif()
else()
  message(FATAL_ERROR "No Qt 4 build recipe for processor '${CMAKE_SYSTEM_PROCESSOR}': "
                      "set PLC_QT4_PREFIX to a Qt 4.8 QtCore built for it")
endif()

set(_plc_qt4_lib "${_plc_qt4_prefix}/lib/libQtCore.so.4")
set(_plc_qt4_global "${_plc_qt4_prefix}/include/QtCore/qglobal.h")
if(NOT EXISTS "${_plc_qt4_lib}" OR NOT EXISTS "${_plc_qt4_global}")
  message(FATAL_ERROR "No Qt 4 QtCore at '${_plc_qt4_prefix}' (needs lib/libQtCore.so.4 and "
                      "include/QtCore/qglobal.h)")
endif()
file(STRINGS "${_plc_qt4_global}" _plc_qt4_version REGEX "^#define QT_VERSION_STR +\"4\\.8\\.")
if(NOT _plc_qt4_version)
  message(FATAL_ERROR "${_plc_qt4_global} is not Qt 4.8: the driver is built against 4.8 headers")
endif()
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _plc_qt4_version "${_plc_qt4_version}")
set(PLC_QT4_VERSION "${_plc_qt4_version}" CACHE INTERNAL "Qt 4 version built against")
message(STATUS "Qt ${PLC_QT4_VERSION} QtCore: ${_plc_qt4_prefix}")

# Imported targets put their include folders on the -isystem path, which keeps
# Qt 4's own warnings out of the -Wall -Wextra build.
add_library(PlcQt::Core SHARED IMPORTED)
set_target_properties(PlcQt::Core PROPERTIES
  IMPORTED_LOCATION "${_plc_qt4_lib}"
  IMPORTED_SONAME libQtCore.so.4
  INTERFACE_INCLUDE_DIRECTORIES "${_plc_qt4_prefix}/include;${_plc_qt4_prefix}/include/QtCore"
  INTERFACE_COMPILE_DEFINITIONS "QT_CORE_LIB;QT_SHARED;$<$<NOT:$<CONFIG:Debug>>:QT_NO_DEBUG>")
# A Qt 4 panel's C++ runtime is as old as its Qt, far older than the
# compiler's (std::vector alone needs GLIBCXX_3.4.29, GCC 11). The library
# carries the parts of libstdc++ it uses, hidden (--exclude-libs), and drops
# the rest (--gc-sections, which also drops libstdc++'s references to recent
# C library functions): at run time it needs the panel's libQtCore.so.4 and
# a C library with GLIBC_2.4, nothing else. Only Qt values and plain data
# cross to the host; allocation on both sides ends in the one malloc.
# Sanitizer builds keep the shared runtime, which the sanitizers intercept.
if(NOT PLC_SANITIZE)
  set(PLC_QT_DRIVER_LINK_OPTIONS
      -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -Wl,--gc-sections)
endif()
# A consumer of the installed package brings the host's QtCore itself.
set(PLC_QT_EXPORT_LINK "")
set(PLC_QT_PKGCONFIG QtCore)
# Read by the tests: the QtCore the Qt 4 flavour's symbol check compares with.
set(PLC_QT4_LIBRARY "${_plc_qt4_lib}")

# Programs that need Qt 5 API (JSON in the host tool) or share its process
# with the Qt 5 driver (simulator, integration tests) are not built.
if(PLC_BUILD_TOOLS)
  message(STATUS "PLC_QT=4: plc-host, plc-sim and the integration tests stay Qt 5 only; not built")
  set(PLC_BUILD_TOOLS OFF)
endif()
