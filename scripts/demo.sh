#!/usr/bin/env bash
# The main job in one command: installs what is needed, builds the driver and
# the host tool, and runs plc-host for about ten seconds against its built-in
# simulated controller (two stations on a pseudo-terminal). During the run it
# writes a register, a coil and a bit inside a word and shows them confirmed
# and read back. Exits with plc-host's status (0 when all went well).
#
#   scripts/demo.sh                 the demo project (tool/demo.json)
#   scripts/demo.sh --trace         the same, every frame printed in hex
#   PLC_BUILD_ROOT=/some/dir scripts/demo.sh    build elsewhere (default build/)
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${PLC_BUILD_ROOT:-$REPO_ROOT/build}/native"

"$REPO_ROOT/scripts/deps.sh"
cmake -S "$REPO_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target plc-host plc-sim

# The driver's log handler writes debug.log into the working directory.
cd "$BUILD_DIR"
exec "$BUILD_DIR/tool/plc-host" --project "$REPO_ROOT/tool/demo.json" --duration 10 "$@"
