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
# shellcheck source=tests/package/arm-library-checks.sh
source "$here/arm-library-checks.sh"

for n in "libplcdriver$major" libplcdriver-dev; do
  deb="$dist/${n}_${version}_armhf.deb"
  [[ -f "$deb" ]] || { echo "FAIL missing $deb (run scripts/package.sh armhf)"; exit 1; }
  check "$n: Architecture armhf" test "$(dpkg-deb -f "$deb" Architecture)" == armhf
  check "$n: Version $version" test "$(dpkg-deb -f "$deb" Version)" == "$version"
  dpkg-deb -x "$deb" "$work/root"
done

lib="$work/root/usr/lib/libplcdriver.so.$version"
[[ -f "$lib" && ! -L "$lib" ]] || { echo "FAIL no library file usr/lib/libplcdriver.so.$version"; exit 1; }
check_arm_library "$lib" "$work/root/usr/lib/libplcdriver.so.$major" \
  "$work/root/usr/include/plcdriver/plc_driver.h" "$major" "$version"

"$here/check-depends.sh" "$dist/libplcdriver${major}_${version}_armhf.deb" \
  "$sysroot/var/lib/dpkg/info" armhf || status=1
exit "$status"
