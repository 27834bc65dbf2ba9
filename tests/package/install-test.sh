#!/usr/bin/env bash
# Installs the amd64 packages from dist/ and uses them as their users do:
#   - the Depends are satisfiable here and name exactly the versions the
#     binaries import (check-depends.sh);
#   - the installed plc-host polls its built-in simulator once through the
#     demo project and loads the installed driver, never a build tree's;
#   - its man page and the demo project are installed;
#   - a small host program builds against the development package, once
#     with find_package(plcdriver) and once with pkg-config, and runs.
#
#   install-test.sh DIST_DIR VERSION CONSUMER_SOURCE_DIR
#
# PLC_PACKAGE_INSTALL=system (CI, as root on a throw-away machine) installs
# with apt-get into the system and purges again at the end. Otherwise the
# packages are unpacked into a scratch root (dpkg -x) and apt-get only
# simulates the install to prove the dependencies resolve.
set -euo pipefail

dist="$1" version="$2" consumer_src="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
names=(libplcdriver1 libplcdriver-dev plcdriver-tools)
debs=()
for n in "${names[@]}"; do
  deb="$dist/${n}_${version}_amd64.deb"
  [[ -f "$deb" ]] || { echo "FAIL missing $deb (run scripts/package.sh amd64)"; exit 1; }
  debs+=("$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")")
done

work="$(mktemp -d)"
mode="${PLC_PACKAGE_INSTALL:-scratch}"
cleanup() {
  if [[ "$mode" == system ]]; then
    apt-get purge -y -q "${names[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf -- '--- %s\n' "$*"; }

step "dependencies"
for deb in "${debs[0]}" "${debs[2]}"; do
  "$here/check-depends.sh" "$deb" /var/lib/dpkg/info amd64
done

if [[ "$mode" == system ]]; then
  step "apt-get install into the system"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall --no-install-recommends "${debs[@]}"
  root=""
else
  step "apt-get install, simulated; unpacked into a scratch root"
  apt-get install -s -q --no-install-recommends "${debs[@]}" | grep -E '^(Inst|Conf) ' || true
  apt-get install -s -q --no-install-recommends "${debs[@]}" >/dev/null
  root="$work/root"
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
fi
prefix="$root/usr"

step "installed plc-host"
host="$prefix/bin/plc-host"
"$host" --version | tee "$work/version"
# Its own version and the driver's.
[[ "$(grep -c -F "$version" "$work/version")" -ge 2 ]] ||
  { echo "FAIL --version does not print both versions ($version)"; exit 1; }
runpath="$(readelf -d "$host" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
# shellcheck disable=SC2016  # a literal $ORIGIN
[[ "$runpath" == '$ORIGIN/../lib' ]] || { echo "FAIL plc-host RUNPATH is '$runpath'"; exit 1; }
demo="$prefix/share/plcdriver/demo.json"
[[ -f "$demo" ]] || { echo "FAIL no demo project at $demo"; exit 1; }
mkdir -p "$work/run"
# The loader names every library it initialises; the driver must be ours.
(cd "$work/run" && LD_DEBUG=libs "$host" --project "$demo" --once --plain \
  >"$work/host.out" 2>"$work/host.err") || {
  cat "$work/host.out"
  echo "FAIL plc-host --once exited $?"
  exit 1
}
tail -n 4 "$work/host.out"
loaded="$(sed -n 's/.*calling init: \(.*libplcdriver[^ ]*\).*/\1/p' "$work/host.err" | head -n1)"
echo "driver loaded: $loaded"
[[ "$(readlink -f "$loaded")" == "$(readlink -f "$prefix/lib/libplcdriver.so.1")" ]] ||
  { echo "FAIL plc-host did not load the installed driver"; exit 1; }
for page in plc-host plc-sim; do
  zcat "$prefix/share/man/man1/$page.1.gz" | grep -q "^\.TH \"\?${page^^}" ||
    { echo "FAIL no man page for $page"; exit 1; }
done

step "consumer through find_package(plcdriver)"
cmake -S "$consumer_src" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
ldd "$work/cmake/consumer" | grep libplcdriver
[[ "$(ldd "$work/cmake/consumer" | awk '/libplcdriver/ { print $3 }' | xargs readlink -f)" == \
   "$(readlink -f "$prefix/lib/libplcdriver.so.1")" ]] ||
  { echo "FAIL the CMake consumer does not link the installed driver"; exit 1; }
"$work/cmake/consumer"

step "consumer through pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[[ "$(pkg-config --modversion plcdriver)" == "$version" ]] || { echo "FAIL pkg-config version"; exit 1; }
# shellcheck disable=SC2046
c++ -o "$work/pc-consumer" "$consumer_src/consumer.cpp" \
  $(pkg-config --cflags --libs plcdriver)
LD_LIBRARY_PATH="$prefix/lib" "$work/pc-consumer"
echo "install test passed ($mode)"
