#!/usr/bin/env bash
# Builds a private 32-bit ARM (armhf) sysroot holding Qt 5 Core, GoogleTest
# and their runtime libraries, for cmake/toolchain-armhf.cmake.
#
#   scripts/make-armhf-sysroot.sh [SYSROOT]     default: build/armhf-sysroot
#
# Nothing is installed for armhf: the .debs are fetched with `apt-get download`
# and unpacked with `dpkg-deb -x` (a multiarch install trips over indexes that
# are out of step between architectures). The C library and libstdc++ come
# from crossbuild-essential-armhf (/usr/arm-linux-gnueabihf). Qt's code
# generators (moc, rcc, qmake) are the host's, linked where the armhf Qt CMake
# files look for them.
#
# The packages' symbols files are kept where dpkg keeps them
# (var/lib/dpkg/info/PACKAGE:armhf.symbols), with those of the C and C++
# runtimes (SYMBOLS_ONLY; their libraries come from the cross toolchain): the
# armhf package check proves the stated dependency versions against them.
#
# Idempotent: a stamp file records the package set; a complete sysroot is left
# alone. Set PLC_SYSROOT_FORCE=1 to rebuild it.
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SYSROOT="${1:-${PLC_ARMHF_SYSROOT:-$REPO_ROOT/build/armhf-sysroot}}"
mkdir -p "$SYSROOT"
SYSROOT="$(cd "$SYSROOT" && pwd)"
TRIPLET=arm-linux-gnueabihf

PACKAGES=(
  libqt5core5a
  qtbase5-dev
  qt5-qmake
  libgtest-dev
  libgmock-dev
  # Runtime dependencies of libQt5Core (and of GLib, which it links).
  libpcre2-16-0
  libpcre2-8-0
  zlib1g
  libzstd1
  libglib2.0-0
  libicu72
  libdouble-conversion3
  libffi8
  libselinux1
  libmount1
  libblkid1
)

SYMBOLS_ONLY=(libc6 libstdc++6 libgcc-s1)

STAMP="$SYSROOT/.plc-sysroot-stamp"
WANT_STAMP="v2 ${PACKAGES[*]} symbols: ${SYMBOLS_ONLY[*]}"
if [[ "${PLC_SYSROOT_FORCE:-0}" != 1 && -f "$STAMP" && "$(cat "$STAMP")" == "$WANT_STAMP" &&
      -e "$SYSROOT/usr/lib/$TRIPLET/libQt5Core.so.5" &&
      -x "$SYSROOT/usr/lib/qt5/bin/moc" ]]; then
  echo "sysroot: up to date at $SYSROOT"
  exit 0
fi

SUDO=()
if [[ "$(id -u)" -ne 0 ]] && command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
fi
APT_OPTS=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)

have_armhf_index() {
  [[ "$(apt-cache policy libqt5core5a:armhf 2>/dev/null | awk '/Candidate:/ {print $2}')" =~ ^[0-9] ]]
}

if ! have_armhf_index; then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "sysroot: enabling the armhf package index"
    "${SUDO[@]}" dpkg --add-architecture armhf
  fi
  # A failing index (e.g. a mirror mid-sync) is tolerated; only a missing
  # armhf Qt candidate is fatal.
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" update ||
    echo "sysroot: apt-get update reported errors; using the indexes it has" >&2
  if ! have_armhf_index; then
    echo "sysroot: no armhf candidate for libqt5core5a after apt-get update" >&2
    exit 1
  fi
fi

echo "sysroot: building $SYSROOT"
# Only ever wipe a folder this script made (or an empty one).
if [[ -n "$(ls -A "$SYSROOT")" && ! -f "$STAMP" && ! -d "$SYSROOT/.debs" &&
      ! -d "$SYSROOT/usr/lib/$TRIPLET" ]]; then
  echo "sysroot: $SYSROOT is not empty and not a sysroot made here; refusing to clear it" >&2
  exit 1
fi
find "$SYSROOT" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
DEBS="$SYSROOT/.debs"
mkdir -p "$DEBS"

# apt drops privileges to _apt for downloads; as root into a root-owned
# folder that only produces a warning, so keep root for the download.
DL_OPTS=("${APT_OPTS[@]}")
if [[ "$(id -u)" -eq 0 ]]; then
  DL_OPTS+=(-o APT::Sandbox::User=root)
fi
mkdir -p "$DEBS/symbols-only"
(cd "$DEBS" && apt-get "${DL_OPTS[@]}" download "${PACKAGES[@]/%/:armhf}")
(cd "$DEBS/symbols-only" && apt-get "${DL_OPTS[@]}" download "${SYMBOLS_ONLY[@]/%/:armhf}")

INFO="$SYSROOT/var/lib/dpkg/info"
mkdir -p "$INFO"
for deb in "$DEBS"/*.deb "$DEBS"/symbols-only/*.deb; do
  [[ "$deb" == */symbols-only/* ]] || dpkg-deb -x "$deb" "$SYSROOT"
  pkg="$(dpkg-deb -f "$deb" Package)"
  if ! dpkg-deb -I "$deb" symbols >"$INFO/$pkg:armhf.symbols" 2>/dev/null; then
    rm -f "$INFO/$pkg:armhf.symbols"
  fi
done
rm -rf "$DEBS"

# Host code generators where the armhf Qt5Core CMake files expect them:
#   <prefix>/lib/qt5/bin/{moc,rcc,...}  and  <prefix>/lib/<triplet>/qt5/bin/qmake
HOST_QT_BIN=""
for dir in /usr/lib/qt5/bin "/usr/lib/$(gcc -print-multiarch 2>/dev/null)/qt5/bin"; do
  if [[ -x "$dir/moc" && -x "$dir/rcc" ]]; then
    HOST_QT_BIN="$dir"
    break
  fi
done
if [[ -z "$HOST_QT_BIN" ]]; then
  echo "sysroot: host moc/rcc not found (install qtbase5-dev-tools)" >&2
  exit 1
fi
mkdir -p "$SYSROOT/usr/lib/qt5/bin" "$SYSROOT/usr/lib/$TRIPLET/qt5/bin" "$SYSROOT/usr/bin"
for tool in "$HOST_QT_BIN"/*; do
  ln -sfn "$(readlink -f "$tool")" "$SYSROOT/usr/lib/qt5/bin/$(basename "$tool")"
done
HOST_QMAKE="$(readlink -f "$HOST_QT_BIN/qmake" 2>/dev/null || true)"
[[ -x "$HOST_QMAKE" ]] || HOST_QMAKE="$(readlink -f "$(command -v qmake)")"
ln -sfn "$HOST_QMAKE" "$SYSROOT/usr/bin/$TRIPLET-qmake"
ln -sfn "$HOST_QMAKE" "$SYSROOT/usr/lib/$TRIPLET/qt5/bin/qmake"

# Sanity: the pieces the toolchain file and CMake rely on.
for f in "usr/lib/$TRIPLET/libQt5Core.so" "usr/lib/$TRIPLET/libicuuc.so.72" \
         "usr/lib/$TRIPLET/libgtest.a" "usr/lib/$TRIPLET/cmake/Qt5Core/Qt5CoreConfig.cmake" \
         "usr/lib/$TRIPLET/cmake/GTest/GTestConfig.cmake" "usr/include/$TRIPLET/qt5/QtCore/qglobal.h" \
         "usr/lib/qt5/bin/moc" "usr/lib/$TRIPLET/qt5/bin/qmake" \
         "var/lib/dpkg/info/libqt5core5a:armhf.symbols" "var/lib/dpkg/info/libc6:armhf.symbols"; do
  if [[ ! -e "$SYSROOT/$f" ]]; then
    echo "sysroot: missing $f after unpacking" >&2
    exit 1
  fi
done

printf '%s\n' "$WANT_STAMP" >"$STAMP"
echo "sysroot: ready at $SYSROOT"
