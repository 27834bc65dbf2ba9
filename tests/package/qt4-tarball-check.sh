#!/usr/bin/env bash
# Checks the Qt 4 flavour's armhf tarball in dist/ without an ARM machine:
# it holds the library, its soname link, the header, the license and a
# README; the library is a stripped 32-bit ARM shared object with SONAME
# libplcdriver.so.1, no RPATH/RUNPATH, needing the panel's libQtCore.so.4
# and no Qt 5; its dynamic symbol table defines exactly the header's names.
#
#   qt4-tarball-check.sh DIST_DIR VERSION
set -euo pipefail

dist="$1" version="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
major="${version%%.*}"
name="plcdriver-qt4-$version-armhf"
tarball="$dist/$name.tar.gz"
[[ -f "$tarball" ]] || { echo "FAIL missing $tarball (run scripts/package.sh armhf-qt4)"; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
check() {  # check WHAT CONDITION...
  local what="$1"
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; status=1; fi
}

tar -xzf "$tarball" -C "$work"
root="$work/$name"
for f in "lib/libplcdriver.so.$version" include/plc_driver.h LICENSE README; do
  check "holds $f" test -f "$root/$f"
done
lib="$root/lib/libplcdriver.so.$version"
[[ -f "$lib" ]] || exit 1
check "lib/libplcdriver.so.$major -> libplcdriver.so.$version" \
  test "$(readlink "$root/lib/libplcdriver.so.$major")" == "libplcdriver.so.$version"
kind="$(file -b "$lib")"
echo "     $kind"
check "ELF 32-bit ARM EABI5 shared object" \
  grep -q '^ELF 32-bit LSB shared object, ARM, EABI5' <<<"$kind"
check "stripped" grep -q ', stripped$' <<<"$kind"
dynamic="$(readelf -d -W "$lib")"
check "SONAME libplcdriver.so.$major" \
  grep -q "(SONAME).*\[libplcdriver\.so\.$major\]" <<<"$dynamic"
check "needs libQtCore.so.4" grep -q '(NEEDED).*\[libQtCore\.so\.4\]' <<<"$dynamic"
# shellcheck disable=SC2016  # $1 belongs to the inner shell
check "no RPATH or RUNPATH, no Qt 5" \
  bash -c '! grep -qE "\((RPATH|RUNPATH)\)|libQt5" <<<"$1"' _ "$dynamic"
check "exported names are the header's" "$here/exported-names.sh" "$lib" "$root/include/plc_driver.h"
exit "$status"
