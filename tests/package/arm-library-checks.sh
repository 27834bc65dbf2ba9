# Sourced by the armhf package checks: `check` and the checks every armhf
# build of the library must pass, whichever package carries it.
# shellcheck shell=bash

# shellcheck disable=SC2034  # read by the scripts that source this
status=0
check() {  # check WHAT CONDITION...
  local what="$1"
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; status=1; fi
}

# check_arm_library LIB LINK HEADER MAJOR VERSION: LINK is the soname link
# beside LIB, HEADER the header shipped with it. The library is a stripped
# 32-bit ARM shared object with SONAME libplcdriver.so.MAJOR, no RPATH or
# RUNPATH, and exports exactly the header's names. Leaves its dynamic
# section in `dynamic` for the caller's own checks.
check_arm_library() {
  local lib="$1" link="$2" header="$3" major="$4" version="$5" kind
  check "libplcdriver.so.$major -> libplcdriver.so.$version" \
    test "$(readlink "$link")" == "libplcdriver.so.$version"
  kind="$(file -b "$lib")"
  echo "     $kind"
  check "ELF 32-bit ARM EABI5 shared object" \
    grep -q '^ELF 32-bit LSB shared object, ARM, EABI5' <<<"$kind"
  check "stripped" grep -q ', stripped$' <<<"$kind"
  dynamic="$(readelf -d -W "$lib")"
  check "SONAME libplcdriver.so.$major" \
    grep -q "(SONAME).*\[libplcdriver\.so\.$major\]" <<<"$dynamic"
  # shellcheck disable=SC2016  # $1 belongs to the inner shell
  check "no RPATH or RUNPATH" bash -c '! grep -qE "\((RPATH|RUNPATH)\)" <<<"$1"' _ "$dynamic"
  check "exported names are the header's" \
    "$(dirname "${BASH_SOURCE[0]}")/exported-names.sh" "$lib" "$header"
}
