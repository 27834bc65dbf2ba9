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
# shellcheck source=tests/package/arm-library-checks.sh
source "$here/arm-library-checks.sh"

tar -xzf "$tarball" -C "$work"
root="$work/$name"
for f in "lib/libplcdriver.so.$version" include/plc_driver.h LICENSE README; do
  check "holds $f" test -f "$root/$f"
done
lib="$root/lib/libplcdriver.so.$version"
[[ -f "$lib" ]] || exit 1
check_arm_library "$lib" "$root/lib/libplcdriver.so.$major" "$root/include/plc_driver.h" \
  "$major" "$version"
check "needs libQtCore.so.4" grep -q '(NEEDED).*\[libQtCore\.so\.4\]' <<<"$dynamic"
# shellcheck disable=SC2016  # $1 belongs to the inner shell
check "no Qt 5" bash -c '! grep -q "libQt5" <<<"$1"' _ "$dynamic"
exit "$status"
