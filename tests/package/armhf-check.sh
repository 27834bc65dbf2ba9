#!/usr/bin/env bash
# Checks the armhf packages in dist/ without an ARM machine: both are armhf
# at the project version; the library is a stripped 32-bit ARM shared object
# with SONAME libplcdriver.so.1 and no RPATH/RUNPATH; its dynamic symbol table
# defines exactly the names the packaged header exports; the runtime
# package's Depends match what the library imports (check-depends.sh against
# the symbols files kept in the armhf sysroot).
#
#   armhf-check.sh DIST_DIR VERSION SYSROOT
set -euo pipefail

dist="$1" version="$2" sysroot="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
major="${version%%.*}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
check() {  # check WHAT CONDITION...
  local what="$1"
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; status=1; fi
}

for n in "libplcdriver$major" libplcdriver-dev; do
  deb="$dist/${n}_${version}_armhf.deb"
  [[ -f "$deb" ]] || { echo "FAIL missing $deb (run scripts/package.sh armhf)"; exit 1; }
  check "$n: Architecture armhf" test "$(dpkg-deb -f "$deb" Architecture)" == armhf
  check "$n: Version $version" test "$(dpkg-deb -f "$deb" Version)" == "$version"
  dpkg-deb -x "$deb" "$work/root"
done

lib="$work/root/usr/lib/libplcdriver.so.$version"
[[ -f "$lib" && ! -L "$lib" ]] || { echo "FAIL no library file usr/lib/libplcdriver.so.$version"; exit 1; }
check "libplcdriver.so.$major -> libplcdriver.so.$version" \
  test "$(readlink "$work/root/usr/lib/libplcdriver.so.$major")" == "libplcdriver.so.$version"
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
  "$here/exported-names.sh" "$lib" "$work/root/usr/include/plcdriver/plc_driver.h"

"$here/check-depends.sh" "$dist/libplcdriver${major}_${version}_armhf.deb" \
  "$sysroot/var/lib/dpkg/info" armhf || status=1
exit "$status"
