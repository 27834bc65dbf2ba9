# shellcheck shell=bash
# Sourced by demo.sh, test.sh and package.sh (REPO_ROOT set): how many
# compile jobs cmake --build runs, and the compiler cache when one is
# installed. CMake reads the launcher variables when a build tree is first
# configured.
#
#   PLC_JOBS   parallel compile jobs (default: number of cores)

export CMAKE_BUILD_PARALLEL_LEVEL="${PLC_JOBS:-${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}}"
if [[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]] && command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  # Paths below the checkout are hashed relative to it, so checkouts and
  # worktrees share cache entries.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$REPO_ROOT}"
fi
