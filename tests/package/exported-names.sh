#!/usr/bin/env bash
# Compares the names a shared library defines in its dynamic symbol table
# with the names its header marks PLC_DRIVER_EXPORT; prints both counts and
# any difference, exits 1 when they differ.
#
#   exported-names.sh LIBRARY HEADER
set -euo pipefail

lib="$1" header="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Defined dynamic symbols, demangled to the bare name, without the linker's
# own markers (_end, __bss_start, ...).
readelf --dyn-syms -W "$lib" |
  awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $4 != "SECTION" && $5 != "LOCAL" && $8 != "" { print $8 }' |
  grep -v '^_[^Z]' | c++filt | sed 's/(.*//' | sort -u >"$work/exported"
sed -nE 's/^PLC_DRIVER_EXPORT[^(;]*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*) *[(;].*/\1/p' \
  "$header" | sort -u >"$work/declared"
echo "     $(wc -l <"$work/exported") names exported, $(wc -l <"$work/declared") declared"
diff "$work/declared" "$work/exported"
