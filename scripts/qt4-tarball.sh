#!/usr/bin/env bash
# Makes the Qt 4 flavour's armhf deliverable from the Qt 4 armhf cross build:
#
#   scripts/qt4-tarball.sh [BUILD_DIR]     default: build/qt4-armhf
#
# -> dist/plcdriver-qt4-<version>-armhf.tar.gz, holding
#    plcdriver-qt4-<version>-armhf/{lib/libplcdriver.so.1*, include/plc_driver.h,
#    LICENSE, README}. A tarball, not a Debian package: no package dependency
#    can name the panel's own libQtCore.so.4.
#
# BUILD_DIR is a configured PLC_QT=4 armhf build (the qt4-armhf preset;
# scripts/package.sh armhf-qt4 configures it when needed). Builds the
# library, installs it stripped into a staging folder and checks that it
# needs the panel's Qt 4 QtCore and no RUNPATH before packing.
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$REPO_ROOT/build/qt4-armhf}"
cd "$REPO_ROOT"

[[ -f "$build/CMakeCache.txt" ]] || { echo "qt4-tarball: no build in $build" >&2; exit 1; }
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
if [[ "$(cache_value PLC_QT)" != 4 || "$(cache_value PLC_SANITIZE)" != "" ||
      "$(cache_value CMAKE_TOOLCHAIN_FILE)" != *toolchain-armhf.cmake ]]; then
  echo "qt4-tarball: $build is not an unsanitized PLC_QT=4 armhf build" >&2
  exit 1
fi
[[ -f LICENSE ]] || { echo "qt4-tarball: no LICENSE in $REPO_ROOT" >&2; exit 1; }

cmake --build "$build" --target plcdriver
version="$(cache_value CMAKE_PROJECT_VERSION)"
name="plcdriver-qt4-$version-armhf"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/install" --strip >/dev/null

dir="$stage/$name"
mkdir -p "$dir/lib" "$dir/include"
cp -P "$stage"/install/lib*/libplcdriver.so.1* "$dir/lib/"
cp "$stage"/install/include/plcdriver/plc_driver.h "$dir/include/"
cp LICENSE "$dir/"
qt_version="$(cache_value PLC_QT4_VERSION)"
cat >"$dir/README" <<EOF
plcdriver $version, Qt 4 flavour, for 32-bit ARM Linux (armhf)

For a panel runtime built on Qt 4: it shares Qt 4 QString, QByteArray and
QList values with the driver. A Qt 5 host needs the Qt 5 flavour (the
libplcdriver1 package) instead; a library of the wrong flavour loads and
then crashes.

Host requirement: the panel's own Qt 4 QtCore, libQtCore.so.4 of version
4.8.0 or later (4.8.x), on the library search path, and a C library
providing GLIBC_2.4 symbols. Nothing else: the C++ runtime the library uses
is inside it. Built against Qt $qt_version headers.

  lib/libplcdriver.so.1.0.0   the library; the host loads libplcdriver.so.1
  include/plc_driver.h        the records and entry points (C++98 or later)
  LICENSE

Check what a panel runs:  readelf -d <runtime binary> | grep NEEDED
(libQtCore.so.4 means this flavour).
EOF

readelf -d "$dir/lib/libplcdriver.so.1.0.0" >"$stage/dynamic"
if grep -qE 'R(UN)?PATH' "$stage/dynamic" || ! grep -q 'NEEDED.*\[libQtCore\.so\.4\]' "$stage/dynamic"; then
  cat "$stage/dynamic" >&2
  echo "qt4-tarball: the library must need libQtCore.so.4 and carry no RUNPATH" >&2
  exit 1
fi

mkdir -p dist
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 \
  -czf "dist/$name.tar.gz" -C "$stage" "$name"
tar -tvzf "dist/$name.tar.gz"
echo "dist/$name.tar.gz"
