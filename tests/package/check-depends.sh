#!/usr/bin/env bash
# Proves that a package's Depends cover what its programs and libraries
# import: for every shared library they need, the minimum version of the
# package that provides it is the highest version, in that package's symbols
# file, of any symbol or symbol version they use. The Depends must name that
# package with exactly that version as the minimum: lower lets the package
# install where it cannot load, higher shuts out systems it would run on.
#
#   check-depends.sh DEB SYMBOLS_DIR ARCH
#
# SYMBOLS_DIR holds the target's PACKAGE:ARCH.symbols files (/var/lib/dpkg/info
# on the build machine; var/lib/dpkg/info inside the armhf sysroot).
set -euo pipefail

deb="$1" symbols_dir="$2" arch="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "$(basename "$deb"): Depends: $depends"

mapfile -t elves < <(find "$work/root" -type f -exec sh -c \
  'head -c4 "$1" | grep -q "^.ELF" && echo "$1"' _ {} \;)
[[ ${#elves[@]} -gt 0 ]] || { echo "no ELF file in the package" >&2; exit 1; }

# What the files import: symbol@version pairs (symbol@Base when the library
# has no versions), and each needed version node as node@node (the forms
# symbols files list them in).
for f in "${elves[@]}"; do
  readelf --dyn-syms -W "$f" |
    awk '$7 == "UND" && $8 != "" { print ($8 ~ /@/) ? $8 : $8 "@Base" }'
  readelf -V -W "$f" | awk '/Name:/ && /Flags:/ { print $2 "@" $2 }'
done | sort -u >"$work/imports"
for f in "${elves[@]}"; do
  readelf -d -W "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
done | sort -u >"$work/needed"

# The highest version of a list of Debian versions (stdin).
highest() {
  local best="" v
  while read -r v; do
    if [[ -z "$best" ]] || dpkg --compare-versions "$v" gt "$best"; then best="$v"; fi
  done
  echo "$best"
}

# The lowest version the Depends allow for a package ("" if unversioned,
# "-" if not named at all).
stated() {
  local pkg="$1" entry
  local IFS=','
  local re='^ *([a-z0-9.+-]+)(:[a-z0-9]+)? *(\((>=|=) *([^)]+)\))? *$'
  for entry in $depends; do
    if [[ "$entry" =~ $re && "${BASH_REMATCH[1]}" == "$pkg" ]]; then
      echo "${BASH_REMATCH[5]}"
      return
    fi
  done
  echo "-"
}

status=0
declare -A need=()
while read -r soname; do
  [[ "$soname" == libplcdriver.so.* ]] && continue
  file="$(grep -l -m1 -- "^${soname//./\\.} " "$symbols_dir"/*:"$arch".symbols 2>/dev/null | head -n1 || true)"
  if [[ -z "$file" ]]; then
    echo "FAIL $soname: no symbols file in $symbols_dir to prove its minimum version"
    status=1
    continue
  fi
  pkg="$(awk -v so="$soname" '$1 == so { print $2; exit }' "$file")"
  # Versions of this soname's section that the files import ("0" marks
  # symbols private to the package).
  min="$(awk -v so="$soname" 'NR == FNR { want[$1] = 1; next }
           /^[^ |*]/ { in_so = ($1 == so); next }
           in_so && /^ / && ($1 in want) && $2 != "0" { print $2 }' \
           "$work/imports" "$file" | highest)"
  if [[ -z "$min" ]]; then
    echo "FAIL $soname: none of the imports found in $(basename "$file")"
    status=1
    continue
  fi
  if [[ -z "${need[$pkg]:-}" ]] || dpkg --compare-versions "$min" gt "${need[$pkg]}"; then
    need[$pkg]="$min"
  fi
done <"$work/needed"

for pkg in "${!need[@]}"; do
  have="$(stated "$pkg")"
  if [[ "$have" == "-" ]]; then
    echo "FAIL $pkg: imports need >= ${need[$pkg]}, and Depends do not name it"
    status=1
  elif [[ -z "$have" ]] || ! dpkg --compare-versions "$have" eq "${need[$pkg]}"; then
    echo "FAIL $pkg: imports need >= ${need[$pkg]}, Depends state >= ${have:-(any)}"
    status=1
  else
    echo "ok   $pkg: imports need >= ${need[$pkg]}, Depends state >= $have"
  fi
done
exit "$status"
