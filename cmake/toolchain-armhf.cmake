# Cross build for 32-bit ARM Linux (armhf, hard float), the target the host
# runtime ships on.
#
#   scripts/make-armhf-sysroot.sh build/armhf-sysroot
#   cmake -S . -B build/armhf -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#     -DPLC_ARMHF_SYSROOT=$PWD/build/armhf-sysroot -DPLC_BUILD_TOOLS=OFF
#   ctest --test-dir build/armhf        # runs every test under qemu-arm
#
# Compiler, C library and libstdc++ come from crossbuild-essential-armhf
# (/usr/arm-linux-gnueabihf); Qt 5 Core, GoogleTest and Qt's runtime
# libraries come from the private sysroot (PLC_ARMHF_SYSROOT, a cache
# variable or environment variable; default build/armhf-sysroot). The
# sysroot holds no C library, so it is a find root, not CMAKE_SYSROOT.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(PLC_ARMHF_TRIPLET arm-linux-gnueabihf)
set(PLC_ARMHF_CROSS_ROOT /usr/${PLC_ARMHF_TRIPLET})

if(NOT PLC_ARMHF_SYSROOT)
  if(DEFINED ENV{PLC_ARMHF_SYSROOT} AND NOT "$ENV{PLC_ARMHF_SYSROOT}" STREQUAL "")
    set(PLC_ARMHF_SYSROOT "$ENV{PLC_ARMHF_SYSROOT}")
  else()
    get_filename_component(PLC_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/armhf-sysroot"
                           ABSOLUTE)
  endif()
endif()
get_filename_component(PLC_ARMHF_SYSROOT "${PLC_ARMHF_SYSROOT}" ABSOLUTE)
set(PLC_ARMHF_SYSROOT "${PLC_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot with Qt 5 and GoogleTest")
# try_compile() projects re-read this file without the cache: pass it on.
set(ENV{PLC_ARMHF_SYSROOT} "${PLC_ARMHF_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLC_ARMHF_SYSROOT)

if(NOT EXISTS "${PLC_ARMHF_SYSROOT}/usr/lib/${PLC_ARMHF_TRIPLET}/libQt5Core.so")
  message(FATAL_ERROR "No armhf sysroot at ${PLC_ARMHF_SYSROOT}; "
                      "run scripts/make-armhf-sysroot.sh ${PLC_ARMHF_SYSROOT}")
endif()

set(CMAKE_C_COMPILER ${PLC_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PLC_ARMHF_TRIPLET}-g++)

# Headers, libraries and CMake packages from the sysroot (and the cross
# C library); programs (moc, rcc, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH "${PLC_ARMHF_SYSROOT}" "${PLC_ARMHF_CROSS_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libQt5Core's own dependencies (ICU, GLib, PCRE2, ...) live in the sysroot;
# the linker needs to see them to resolve Qt's NEEDED entries.
set(PLC_ARMHF_LIB_DIRS
    "${PLC_ARMHF_SYSROOT}/usr/lib/${PLC_ARMHF_TRIPLET}"
    "${PLC_ARMHF_SYSROOT}/lib/${PLC_ARMHF_TRIPLET}")
set(_plc_rpath_link "")
foreach(dir IN LISTS PLC_ARMHF_LIB_DIRS)
  string(APPEND _plc_rpath_link " -Wl,-rpath-link,${dir}")
endforeach()
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT "${_plc_rpath_link}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT "${_plc_rpath_link}")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT "${_plc_rpath_link}")
unset(_plc_rpath_link)

# Run target binaries (tests, gtest discovery) under user-mode qemu; no
# binfmt registration needed. -L makes the cross C library the guest's root;
# the sysroot's libraries are found through the guest's LD_LIBRARY_PATH.
find_program(PLC_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(PLC_QEMU_ARM)
  string(REPLACE ";" ":" _plc_guest_ld_path "${PLC_ARMHF_LIB_DIRS}")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${PLC_QEMU_ARM};-L;${PLC_ARMHF_CROSS_ROOT};-E;LD_LIBRARY_PATH=${_plc_guest_ld_path}")
  unset(_plc_guest_ld_path)
else()
  message(WARNING "qemu-arm not found (apt-get install qemu-user): armhf tests cannot run")
endif()
