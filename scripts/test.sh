#!/usr/bin/env bash
# The project's test command. Builds and runs every test suite:
#
#   native  RelWithDebInfo build, ctest                 (build/native)
#           (with bench/: short benchmark runs and the instruction guard)
#   asan    AddressSanitizer + UBSan build, ctest       (build/asan)
#   tsan    ThreadSanitizer build, ctest                (build/tsan)
#   armhf   32-bit ARM cross build, ctest under qemu    (build/armhf)
#           (with bench/: the heap per read-list entry on the target)
#
#   scripts/test.sh                 all four suites
#   scripts/test.sh native armhf    only the named suites
#
# Every suite runs even when an earlier one fails; the exit status is non-zero
# if any failed. Ends with a summary table and the line "N passed, N failed"
# (ctest tests over all suites; a suite that does not configure or build
# counts as one failure).
#
# Environment:
#   PLC_BUILD_ROOT    where build trees go (default: <repo>/build)
#   PLC_JOBS          parallel compile jobs (default: number of cores)
#   PLC_CTEST_JOBS    parallel tests (default: 2)
#   PLC_SKIP_DEPS=1   do not run scripts/deps.sh
set -uo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_ROOT="${PLC_BUILD_ROOT:-$REPO_ROOT/build}"
JOBS="${PLC_JOBS:-$(nproc 2>/dev/null || echo 2)}"
CTEST_JOBS="${PLC_CTEST_JOBS:-2}"
ALL_SUITES=(native asan tsan armhf)

usage() {
  sed -n '2,/^set -uo/p' "${BASH_SOURCE[0]}" | sed -e '$d' -e 's/^# \{0,1\}//'
}

SUITES=()
for arg in "$@"; do
  case "$arg" in
    -h | --help) usage; exit 0 ;;
    all) SUITES+=("${ALL_SUITES[@]}") ;;
    native | asan | tsan | armhf) SUITES+=("$arg") ;;
    *) echo "test.sh: unknown suite '$arg' (choose from: ${ALL_SUITES[*]})" >&2; exit 2 ;;
  esac
done
[[ ${#SUITES[@]} -gt 0 ]] || SUITES=("${ALL_SUITES[@]}")

mkdir -p "$BUILD_ROOT/logs"
BUILD_ROOT="$(cd "$BUILD_ROOT" && pwd)"
LOGS="$BUILD_ROOT/logs"

banner() { printf '\n======== %s ========\n' "$*"; }

# --------------------------------------------------------------------------
banner "dependencies"
if [[ "${PLC_SKIP_DEPS:-0}" != 1 ]]; then
  if ! "$REPO_ROOT/scripts/deps.sh"; then
    echo "test.sh: scripts/deps.sh failed; trying the build with what is installed" >&2
  fi
else
  echo "skipped (PLC_SKIP_DEPS=1)"
fi

# Per-suite results, filled by run_suite.
declare -A RESULT PASSED FAILED DURATION NOTE
TOTAL_PASSED=0
TOTAL_FAILED=0

# Optional pieces are built only once their folders exist in the tree.
optional_flags() {
  local flags=()
  if [[ -f "$REPO_ROOT/bench/CMakeLists.txt" ]]; then
    flags+=(-DPLC_BUILD_BENCH=ON)
  fi
  [[ ${#flags[@]} -eq 0 ]] || printf '%s\n' "${flags[@]}"
}

# configure_build SUITE BUILD_DIR CMAKE_ARGS...
configure_build() {
  local suite="$1" dir="$2"
  shift 2
  local log="$LOGS/$suite.configure.log"
  if ! cmake -S "$REPO_ROOT" -B "$dir" -G Ninja "$@" >"$log" 2>&1; then
    if [[ -f "$dir/CMakeCache.txt" ]]; then
      # A cache from another generator or toolchain: start that tree afresh.
      echo "configure failed with an existing cache; retrying in a clean tree"
      rm -rf "$dir"
      if cmake -S "$REPO_ROOT" -B "$dir" -G Ninja "$@" >"$log" 2>&1; then
        return 0
      fi
    fi
    tail -n 40 "$log"
    NOTE[$suite]="configure failed ($log)"
    return 1
  fi
  grep -E '^-- Build files have been written' "$log" || true
  # Progress lines go to the log only; warnings and errors are shown.
  cmake --build "$dir" -j "$JOBS" 2>&1 | tee "$LOGS/$suite.build.log" |
    grep -v '^\[[0-9]*/[0-9]*\] '
  local build_rc=${PIPESTATUS[0]}
  if [[ $build_rc -ne 0 ]]; then
    tail -n 60 "$LOGS/$suite.build.log"
    NOTE[$suite]="build failed ($LOGS/$suite.build.log)"
    return 1
  fi
  echo "build ok ($(grep -c '^\[[0-9]*/[0-9]*\] ' "$LOGS/$suite.build.log") steps)"
}

# run_ctest SUITE BUILD_DIR [WRAPPER...]: runs ctest, records pass/fail counts.
run_ctest() {
  local suite="$1" dir="$2"
  shift 2
  local log="$LOGS/$suite.ctest.log"
  "$@" ctest --test-dir "$dir" --output-on-failure --no-tests=error \
    -j "$CTEST_JOBS" --timeout 900 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # "100% tests passed, 0 tests failed out of 42"
  local line total failed
  line="$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)"
  if [[ -n "$line" ]]; then
    failed="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
    total="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
    PASSED[$suite]=$((total - failed))
    FAILED[$suite]=$failed
  elif [[ $rc -ne 0 ]]; then
    FAILED[$suite]=1
    NOTE[$suite]="ctest ran no test or stopped early ($log)"
  fi
  if [[ ${FAILED[$suite]} -gt 0 && -z "${NOTE[$suite]}" ]]; then
    NOTE[$suite]="failing tests listed in $log"
  fi
  if [[ $rc -ne 0 && ${FAILED[$suite]} -eq 0 ]]; then
    FAILED[$suite]=1
    NOTE[$suite]="ctest exited $rc ($log)"
  fi
  return "$rc"
}

# ThreadSanitizer maps its shadow memory at fixed addresses; with a high
# mmap randomisation entropy (newer kernels) a program can die at start with
# "FATAL: ThreadSanitizer: unexpected memory mapping". Probe with a tiny
# threaded program and pick a way to run the suite that works.
TSAN_WRAPPER=()
RESTORE_MMAP_BITS=""
restore_mmap_bits() {
  if [[ -n "$RESTORE_MMAP_BITS" ]]; then
    sysctl -q -w vm.mmap_rnd_bits="$RESTORE_MMAP_BITS" >/dev/null 2>&1 || true
    RESTORE_MMAP_BITS=""
  fi
}
trap restore_mmap_bits EXIT

prepare_tsan() {
  local probe_dir="$BUILD_ROOT/tsan-probe"
  mkdir -p "$probe_dir"
  cat >"$probe_dir/probe.cpp" <<'EOF'
#include <thread>
int shared_value;
int main() {
    std::thread t([] { shared_value = 1; });
    t.join();
    return shared_value == 1 ? 0 : 1;
}
EOF
  if ! c++ -std=c++17 -fsanitize=thread -g -O1 "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
         >"$probe_dir/compile.log" 2>&1; then
    cat "$probe_dir/compile.log"
    echo "tsan: cannot build a ThreadSanitizer program"
    return 1
  fi
  if "$probe_dir/probe" >"$probe_dir/run.log" 2>&1; then
    echo "tsan: runs as is"
    return 0
  fi
  cat "$probe_dir/run.log"
  if setarch "$(uname -m)" -R "$probe_dir/probe" >/dev/null 2>&1; then
    echo "tsan: running the suite with address randomisation off (setarch -R)"
    TSAN_WRAPPER=(setarch "$(uname -m)" -R)
    return 0
  fi
  local bits
  bits="$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo)"
  if [[ "$(id -u)" -eq 0 && -n "$bits" && "$bits" -gt 28 ]]; then
    if sysctl -q -w vm.mmap_rnd_bits=28 >/dev/null 2>&1; then
      RESTORE_MMAP_BITS="$bits"
      if "$probe_dir/probe" >/dev/null 2>&1; then
        echo "tsan: lowered vm.mmap_rnd_bits from $bits to 28 for this run"
        return 0
      fi
      restore_mmap_bits
    fi
  fi
  echo "tsan: ThreadSanitizer programs cannot start on this kernel"
  return 1
}

run_suite() {
  local suite="$1"
  local dir="$BUILD_ROOT/$suite"
  local start=$SECONDS
  PASSED[$suite]=0
  FAILED[$suite]=0
  NOTE[$suite]=""
  banner "$suite"
  local ok=1
  local -a bench
  mapfile -t bench < <(optional_flags)
  case "$suite" in
    native)
      configure_build native "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${bench[@]}" &&
        run_ctest native "$dir" || ok=0
      ;;
    asan)
      configure_build asan "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DPLC_SANITIZE=address,undefined &&
        ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        run_ctest asan "$dir" || ok=0
      ;;
    tsan)
      if ! prepare_tsan; then
        NOTE[tsan]="ThreadSanitizer unusable on this machine"
        ok=0
      else
        configure_build tsan "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLC_SANITIZE=thread &&
          TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
          run_ctest tsan "$dir" "${TSAN_WRAPPER[@]}" || ok=0
        restore_mmap_bits
      fi
      ;;
    armhf)
      local sysroot="$BUILD_ROOT/armhf-sysroot"
      "$REPO_ROOT/scripts/make-armhf-sysroot.sh" "$sysroot" >"$LOGS/armhf.sysroot.log" 2>&1
      local sysroot_rc=$?
      grep -E '^sysroot:' "$LOGS/armhf.sysroot.log" || true
      if [[ $sysroot_rc -ne 0 ]]; then
        tail -n 30 "$LOGS/armhf.sysroot.log"
        NOTE[armhf]="sysroot could not be made"
        ok=0
      else
        configure_build armhf "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_TOOLCHAIN_FILE="$REPO_ROOT/cmake/toolchain-armhf.cmake" \
            -DPLC_ARMHF_SYSROOT="$sysroot" -DPLC_BUILD_TOOLS=OFF "${bench[@]}" &&
          run_ctest armhf "$dir" || ok=0
      fi
      ;;
  esac
  if [[ $ok -eq 1 && ${FAILED[$suite]} -eq 0 ]]; then
    RESULT[$suite]=PASS
  else
    RESULT[$suite]=FAIL
    # Configure/build/sysroot failures have no test counts: count one.
    if [[ ${FAILED[$suite]} -eq 0 ]]; then
      FAILED[$suite]=1
    fi
  fi
  DURATION[$suite]=$((SECONDS - start))
  TOTAL_PASSED=$((TOTAL_PASSED + PASSED[$suite]))
  TOTAL_FAILED=$((TOTAL_FAILED + FAILED[$suite]))
}

for suite in "${SUITES[@]}"; do
  run_suite "$suite"
done

banner "summary"
printf '%-8s %-6s %7s %7s %8s  %s\n' suite result passed failed seconds note
overall=0
for suite in "${SUITES[@]}"; do
  printf '%-8s %-6s %7d %7d %8d  %s\n' "$suite" "${RESULT[$suite]}" "${PASSED[$suite]}" \
    "${FAILED[$suite]}" "${DURATION[$suite]}" "${NOTE[$suite]}"
  [[ "${RESULT[$suite]}" == PASS ]] || overall=1
done
echo "logs: $LOGS"
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
exit "$overall"
