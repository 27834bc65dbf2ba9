#!/usr/bin/env bash
# Installs the Debian packages one job needs. Quick no-op when everything is
# already installed.
#
#   scripts/deps.sh [--check] [PROFILE...]     default profile: test
#
# Profiles (each includes the one before):
#   demo     build the driver, plc-host and plc-sim       (scripts/demo.sh)
#   package  the native and armhf builds the packages come from (Qt 4.8
#            QtCore included), and the Debian packaging tools
#                                                          (scripts/package.sh)
#   test     every test suite: sanitizers, qemu, clang/libFuzzer, benchmarks,
#            and the package checks                        (scripts/test.sh)
#
# --check only reports what is missing (exit 1 if anything is).
set -euo pipefail

DEMO=(build-essential cmake ninja-build pkg-config qtbase5-dev libmodbus-dev)
# perl, patch and xz-utils build Qt 4.8 QtCore (scripts/qt4.sh).
PACKAGE=("${DEMO[@]}" libgtest-dev libgmock-dev googletest crossbuild-essential-armhf
  dpkg-dev file help2man perl patch xz-utils)
TEST=("${PACKAGE[@]}" qemu-user clang libclang-rt-14-dev libbenchmark-dev libboost-dev valgrind)

check_only=0
PACKAGES=()
for arg in "$@"; do
  case "$arg" in
    --check) check_only=1 ;;
    demo) PACKAGES+=("${DEMO[@]}") ;;
    package) PACKAGES+=("${PACKAGE[@]}") ;;
    test) PACKAGES+=("${TEST[@]}") ;;
    *) echo "deps.sh: unknown profile '$arg' (demo, package, test)" >&2; exit 2 ;;
  esac
done
[[ ${#PACKAGES[@]} -gt 0 ]] || PACKAGES=("${TEST[@]}")
mapfile -t PACKAGES < <(printf '%s\n' "${PACKAGES[@]}" | sort -u)

# One dpkg-query for all packages; "install ok installed" is the only state
# that means usable (unknown packages print nothing and are missing too).
declare -A installed=()
while read -r name state; do
  [[ "$state" == "install ok installed" ]] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${Status}\n' "${PACKAGES[@]}" 2>/dev/null || true)
missing=()
for pkg in "${PACKAGES[@]}"; do
  [[ -n "${installed[$pkg]:-}" ]] || missing+=("$pkg")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "deps: missing: ${missing[*]}"
if [[ $check_only -eq 1 ]]; then
  exit 1
fi

SUDO=()
if [[ "$(id -u)" -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "deps: not root and no sudo; install these by hand: ${missing[*]}" >&2
    exit 1
  fi
fi

APT_OPTS=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)

# One stale or half-synced index must not stop the install: apt keeps using
# the lists it already has for that source.
if ! "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" update; then
  echo "deps: apt-get update reported errors; continuing with the indexes it has" >&2
fi

"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" install -y \
  --no-install-recommends "${missing[@]}"
echo "deps: installed ${missing[*]}"
