#!/usr/bin/env bash
# Builds the Debian packages into dist/:
#
#   scripts/package.sh amd64    libplcdriver1, libplcdriver-dev, plcdriver-tools
#                               (_amd64.deb), from the native build (build/native)
#   scripts/package.sh armhf    libplcdriver1, libplcdriver-dev (_armhf.deb),
#                               from the armhf cross build (build/armhf); makes
#                               the armhf sysroot first
#   scripts/package.sh armhf-qt4
#                               plcdriver-qt4-<version>-armhf.tar.gz, the Qt 4
#                               flavour for Qt 4 panels, from the Qt 4 armhf
#                               cross build (build/qt4-armhf); a tarball, since
#                               no Debian dependency can name the panel's QtCore
#
# Several targets may be named. amd64 and armhf run the workflow preset
# package-TARGET: configure, build what the packages hold, cpack.
# PLC_SKIP_DEPS=1 skips scripts/deps.sh.
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=SCRIPTDIR/build-env.sh
source "$REPO_ROOT/scripts/build-env.sh"

[[ $# -gt 0 ]] || { sed -n '2,/^set -e/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 2; }
for target in "$@"; do
  case "$target" in
    amd64 | armhf | armhf-qt4) ;;
    *) echo "package.sh: unknown target '$target' (amd64, armhf, armhf-qt4)" >&2; exit 2 ;;
  esac
done

[[ "${PLC_SKIP_DEPS:-0}" == 1 ]] || "$REPO_ROOT/scripts/deps.sh" package
cd "$REPO_ROOT"
for target in "$@"; do
  case "$target" in
    armhf | armhf-qt4) scripts/make-armhf-sysroot.sh build/armhf-sysroot ;;
  esac
  if [[ "$target" == armhf-qt4 ]]; then
    [[ -f build/qt4-armhf/CMakeCache.txt ]] || cmake --preset qt4-armhf
    scripts/qt4-tarball.sh build/qt4-armhf
    continue
  fi
  rm -f dist/*_"$target".deb
  cmake --workflow --preset "package-$target"
  # CPack stages the package trees beside the packages.
  rm -rf dist/_CPack_Packages
done
ls -l dist/
