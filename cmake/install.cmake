# What `cmake --install` puts where, in three components that become the
# three Debian packages (cmake/packaging.cmake):
#
#   runtime  lib/libplcdriver.so.1*                         -> libplcdriver1
#   dev      include/plcdriver/plc_driver.h, lib/libplcdriver.so,
#            lib/pkgconfig/plcdriver.pc, lib/cmake/plcdriver/,
#            the integration guide                            -> libplcdriver-dev
#   tools    bin/plc-host, bin/plc-sim, their man pages,
#            share/plcdriver/demo.json, the tool guide        -> plcdriver-tools
#
# Every file is placed relative to the prefix, so the same tree serves
# `cmake --install --prefix X`, the packages (prefix /usr) and a package
# unpacked into a scratch folder. Install with --strip (the packages always
# strip): the build tree's library carries debug info.
include(CMakePackageConfigHelpers)

set(PLC_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/plcdriver)
# Debian keeps each package's documents and copyright under its own name.
set(PLC_RUNTIME_PACKAGE libplcdriver${PROJECT_VERSION_MAJOR})
set(PLC_DEV_PACKAGE libplcdriver-dev)
set(PLC_TOOLS_PACKAGE plcdriver-tools)

# --- runtime and dev: the library ------------------------------------------
# The library gets no RUNPATH: Qt comes from the system's search path. (The
# build tree's copy may point into the armhf sysroot; install drops that.)
set_target_properties(plcdriver PROPERTIES INSTALL_RPATH "")
install(TARGETS plcdriver EXPORT plcdriverTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/plcdriver COMPONENT dev)
install(EXPORT plcdriverTargets NAMESPACE plcdriver::
  DESTINATION ${PLC_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/plcdriverConfig.cmake.in
  ${PROJECT_BINARY_DIR}/plcdriverConfig.cmake
  INSTALL_DESTINATION ${PLC_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/plcdriverConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/plcdriverConfig.cmake
  ${PROJECT_BINARY_DIR}/plcdriverConfigVersion.cmake
  DESTINATION ${PLC_CMAKE_PACKAGE_DIR} COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own place, so the file
# is right wherever the tree is installed or unpacked.
file(RELATIVE_PATH PLC_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${PROJECT_SOURCE_DIR}/cmake/plcdriver.pc.in ${PROJECT_BINARY_DIR}/plcdriver.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/plcdriver.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PLC_RUNTIME_PACKAGE}
  RENAME copyright COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PLC_DEV_PACKAGE}
  RENAME copyright COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/integration.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PLC_DEV_PACKAGE} COMPONENT dev)

# --- tools -------------------------------------------------------------------
if(TARGET plc-host)
  # The installed plc-host opens "libplcdriver.so.1" with dlopen; its RUNPATH
  # points at the library installed beside it, never at the build tree.
  file(RELATIVE_PATH PLC_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(plc-host PROPERTIES INSTALL_RPATH "$ORIGIN/${PLC_BIN_TO_LIB}")
  install(TARGETS plc-host plc-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tool/demo.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/plcdriver COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/host-tool.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PLC_TOOLS_PACKAGE} COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PLC_TOOLS_PACKAGE}
    RENAME copyright COMPONENT tools)

  # Man pages are made from the programs' own --help, so they follow the
  # options. The programs run on the build machine: not when cross-compiling.
  find_program(PLC_HELP2MAN help2man)
  if(PLC_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(PLC_MAN_plc-host "poll controllers through the driver over a serial line")
    set(PLC_MAN_plc-sim "simulated controller on a pseudo-terminal or serial line")
    set(pages)
    foreach(tool plc-host plc-sim)
      set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${PLC_HELP2MAN} --no-info --no-discard-stderr
                --version-string=${PROJECT_VERSION} --name=${PLC_MAN_${tool}}
                --output=${page} $<TARGET_FILE:${tool}>
        COMMAND gzip -9nf ${page}
        DEPENDS ${tool}
        COMMENT "Man page for ${tool}"
        VERBATIM)
      list(APPEND pages ${page}.gz)
    endforeach()
    add_custom_target(plc-man-pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  elseif(NOT CMAKE_CROSSCOMPILING)
    message(STATUS "help2man not found: no man pages (scripts/deps.sh package installs it)")
  endif()
endif()
