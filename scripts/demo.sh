#!/usr/bin/env bash
# The main job in one command: installs what is needed, builds the driver and
# the host tool, and runs plc-host for about ten seconds against its built-in
# simulated controller (two stations on a pseudo-terminal). During the run it
# writes a register, a coil and a bit inside a word and shows them confirmed
# and read back. Exits with plc-host's status (0 when all went well).
#
#   scripts/demo.sh                 the demo project (tool/demo.json)
#   scripts/demo.sh --trace         the same, every frame printed in hex
#
# Builds with the "demo" preset into build/demo (only the driver, plc-host and
# plc-sim: no test dependencies). PLC_SKIP_DEPS=1 skips scripts/deps.sh.
set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=SCRIPTDIR/build-env.sh
source "$REPO_ROOT/scripts/build-env.sh"

[[ "${PLC_SKIP_DEPS:-0}" == 1 ]] || "$REPO_ROOT/scripts/deps.sh" demo
cd "$REPO_ROOT"
cmake --preset demo >/dev/null
cmake --build --preset demo

# The driver's log handler writes debug.log into the working directory.
cd "$REPO_ROOT/build/demo"
exec "$REPO_ROOT/build/demo/tool/plc-host" --project "$REPO_ROOT/tool/demo.json" --duration 10 "$@"
