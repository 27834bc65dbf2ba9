#!/usr/bin/env bash
# Builds Qt 4.8 QtCore for one architecture from ../shared/qt4 (or
# PLC_QT4_SOURCE) into a cache folder outside the source tree, and prints the
# prefix. The prefix is keyed by a hash of the inputs (source tarball, patches
# and build script), so a cached build is reused until one of them changes.
#
#   scripts/qt4.sh amd64|armhf        prints the prefix, building it if needed
#
# Environment:
#   PLC_QT4_SOURCE   folder with build.sh, patches/ and the tarball
#                    (default: <repo>/../shared/qt4, or beside the main
#                    checkout when <repo> is a git worktree)
#   PLC_QT4_CACHE    cache root (default: ${XDG_CACHE_HOME:-~/.cache}/plcdriver)
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch="${1:?usage: scripts/qt4.sh amd64|armhf}"
case "$arch" in amd64 | armhf) ;; *) echo "qt4.sh: architecture amd64 or armhf" >&2; exit 2 ;; esac

# Beside the checkout; a git worktree looks beside its main checkout too.
src="${PLC_QT4_SOURCE:-}"
if [[ -z "$src" ]]; then
  src="$REPO_ROOT/../shared/qt4"
  if [[ ! -x "$src/build.sh" ]]; then
    common="$(git -C "$REPO_ROOT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)"
    [[ -n "$common" && -x "$common/../../shared/qt4/build.sh" ]] && src="$common/../../shared/qt4"
  fi
fi
if [[ ! -x "$src/build.sh" ]]; then
  echo "qt4.sh: no Qt 4 recipe at $src (set PLC_QT4_SOURCE)" >&2
  exit 1
fi
src="$(cd "$src" && pwd)"
cache="${PLC_QT4_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/plcdriver}"

key="$(cd "$src" && cat build.sh patches/*.patch qt-4.8-*-qtcore-src.tar.xz | sha256sum | cut -c1-16)"
prefix="$cache/qt4-$key-$arch"
stamp="$prefix/.plc-qt4-complete"

if [[ ! -f "$stamp" ]]; then
  mkdir -p "$cache"
  # One builder per prefix: a second caller waits for the first.
  exec 9>"$cache/qt4-$key-$arch.lock"
  flock 9
  if [[ ! -f "$stamp" ]]; then
    rm -rf "$prefix"
    log="$cache/qt4-$key-$arch.log"
    echo "qt4: building QtCore 4.8 for $arch into $prefix (log: $log)" >&2
    if ! "$src/build.sh" "$arch" "$prefix" >"$log" 2>&1; then
      tail -n 30 "$log" >&2
      echo "qt4: build failed" >&2
      exit 1
    fi
    date -u +%FT%TZ >"$stamp"
  fi
fi
echo "$prefix"
