#!/usr/bin/env bash
# Installs the Debian packages needed to build, test, benchmark, fuzz and
# cross-build the driver. Quick no-op when everything is already installed.
#
#   scripts/deps.sh            install what is missing
#   scripts/deps.sh --check    only report what is missing (exit 1 if any)
set -euo pipefail

PACKAGES=(
  build-essential
  cmake
  ninja-build
  pkg-config
  qtbase5-dev
  libgtest-dev
  libgmock-dev
  googletest
  libbenchmark-dev
  libboost-dev
  valgrind
  libmodbus-dev
  crossbuild-essential-armhf
  qemu-user
  clang
  libclang-rt-14-dev
)

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
if [[ "${1:-}" == "--check" ]]; then
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

export DEBIAN_FRONTEND=noninteractive
APT_OPTS=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)

# One stale or half-synced index must not stop the install: apt keeps using
# the lists it already has for that source.
if ! "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" update; then
  echo "deps: apt-get update reported errors; continuing with the indexes it has" >&2
fi

"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" install -y \
  --no-install-recommends "${missing[@]}"
echo "deps: installed ${missing[*]}"
