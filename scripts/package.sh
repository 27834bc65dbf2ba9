#!/usr/bin/env bash
# Builds the Debian packages into dist/:
#
#   scripts/package.sh amd64    libplcdriver1, libplcdriver-dev, plcdriver-tools
#                               (_amd64.deb), from the native build (build/native)
#   scripts/package.sh armhf    libplcdriver1, libplcdriver-dev (_armhf.deb),
#                               from the armhf cross build (build/armhf); makes
#                               the armhf sysroot first
#
# Several targets may be named. Each runs the workflow preset package-TARGET:
# configure, build what the packages hold, cpack. PLC_SKIP_DEPS=1 skips
# scripts/deps.sh.
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=SCRIPTDIR/build-env.sh
source "$REPO_ROOT/scripts/build-env.sh"

[[ $# -gt 0 ]] || { sed -n '2,/^set -e/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 2; }
for target in "$@"; do
  case "$target" in
    amd64 | armhf) ;;
    *) echo "package.sh: unknown target '$target' (amd64, armhf)" >&2; exit 2 ;;
  esac
done

[[ "${PLC_SKIP_DEPS:-0}" == 1 ]] || "$REPO_ROOT/scripts/deps.sh" package
cd "$REPO_ROOT"
for target in "$@"; do
  case "$target" in
    armhf) scripts/make-armhf-sysroot.sh build/armhf-sysroot ;;
  esac
  rm -f dist/*_"$target".deb
  cmake --workflow --preset "package-$target"
  # CPack stages the package trees beside the packages.
  rm -rf dist/_CPack_Packages
done
ls -l dist/*.deb
