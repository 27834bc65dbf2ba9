#!/usr/bin/env bash
# The project's test command. Each suite is the workflow preset of the same
# name in CMakePresets.json (configure, build and test in build/SUITE):
#
#   native   unit, ABI and integration tests
#   asan     the same under AddressSanitizer and UBSan
#   tsan     the same under ThreadSanitizer (should its programs die at start
#            with "unexpected memory mapping" on some kernel, run the suite
#            without address randomisation: setarch -R scripts/test.sh tsan)
#   armhf    32-bit ARM cross build, tests run under qemu-arm
#   fuzz     libFuzzer targets (clang, ASan+UBSan), bounded smoke runs
#   bench    benchmarks (Release), each run briefly
#   package  makes the amd64 and armhf packages and the Qt 4 armhf tarball
#            (scripts/package.sh), then installs and checks them
#
#   scripts/test.sh                 every suite, in this order
#   scripts/test.sh native armhf    only the named suites
#
# Every suite runs even when an earlier one fails; the exit status is non-zero
# if any failed. Ends with a table per suite and the line "N passed, N
# failed", counted from CTest's JUnit reports (a suite that does not
# configure or build counts as one failure). Logs: build/logs/SUITE.log.
#
# Environment:
#   PLC_JOBS          parallel compile jobs (default: number of cores)
#   PLC_SKIP_DEPS=1   do not run scripts/deps.sh
#   PLC_PACKAGE_INSTALL=system
#                     the package suite installs the packages into the system
#                     with apt-get and purges them after (root; .ci/run does
#                     this); by default it unpacks them into a scratch folder
set -uo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=SCRIPTDIR/build-env.sh
source "$REPO_ROOT/scripts/build-env.sh"
ALL_SUITES=(native asan tsan armhf qt4 fuzz bench package)

SUITES=()
for arg in "$@"; do
  if [[ "$arg" == -h || "$arg" == --help ]]; then
    sed -n '2,/^set -uo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
    exit 0
  elif [[ " ${ALL_SUITES[*]} " == *" $arg "* ]]; then
    SUITES+=("$arg")
  else
    echo "test.sh: unknown suite '$arg' (choose from: ${ALL_SUITES[*]})" >&2
    exit 2
  fi
done
[[ ${#SUITES[@]} -gt 0 ]] || SUITES=("${ALL_SUITES[@]}")

cd "$REPO_ROOT" || exit 2
LOGS="$REPO_ROOT/build/logs"
mkdir -p "$LOGS"
banner() { printf '\n======== %s ========\n' "$*"; }

banner dependencies
if [[ "${PLC_SKIP_DEPS:-0}" == 1 ]]; then
  echo "skipped (PLC_SKIP_DEPS=1)"
elif ! scripts/deps.sh test; then
  echo "test.sh: scripts/deps.sh failed; trying with what is installed" >&2
fi

# The workflow presets a suite runs.
workflows() {
  case "$1" in
    qt4) echo qt4 qt4-armhf ;;
    *) echo "$1" ;;
  esac
}

# What a suite needs before its workflows can run.
prepare() {
  case "$1" in
    armhf | qt4) scripts/make-armhf-sysroot.sh build/armhf-sysroot ;;
    package) PLC_SKIP_DEPS=1 scripts/package.sh amd64 armhf armhf-qt4 ;;
  esac
}

# The counts of a JUnit report's <testsuite> element: "tests failures
# skipped" (skipped includes disabled tests).
junit_counts() {
  tr '\n' ' ' <"$1" | grep -o '<testsuite [^>]*>' | head -n1 |
    grep -oE '(tests|failures|skipped|disabled)="[0-9]+"' | tr '="' '  ' |
    awk '{ n[$1] = $2 } END { print n["tests"] + 0, n["failures"] + 0, n["skipped"] + n["disabled"] }'
}

declare -A RESULT PASSED FAILED SKIPPED DURATION
TOTAL_PASSED=0
TOTAL_FAILED=0
for suite in "${SUITES[@]}"; do
  banner "$suite"
  start=$SECONDS
  log="$LOGS/$suite.log"
  read -r -a presets < <(workflows "$suite")
  for preset in "${presets[@]}"; do rm -f "build/$preset/junit.xml"; done
  rc=0
  if prepare "$suite" >"$log" 2>&1; then
    for preset in "${presets[@]}"; do
      cmake --workflow --preset "$preset" >>"$log" 2>&1 || rc=$?
    done
  else
    rc=1
  fi
  tests=0 failures=0 skipped=0
  for preset in "${presets[@]}"; do
    if [[ -f "build/$preset/junit.xml" ]]; then
      read -r t f k < <(junit_counts "build/$preset/junit.xml")
    else
      t=1 f=1 k=0   # no report: configure or build failed
    fi
    tests=$((tests + t)) failures=$((failures + f)) skipped=$((skipped + k))
  done
  PASSED[$suite]=$((tests - failures - skipped))
  FAILED[$suite]=$failures
  SKIPPED[$suite]=$skipped
  if [[ $rc -ne 0 && $failures -eq 0 ]]; then
    FAILED[$suite]=1
  fi
  if [[ ${FAILED[$suite]} -eq 0 ]]; then
    RESULT[$suite]=PASS
    grep -E 'tests passed|Total Test time' "$log" | tail -n 2
  else
    RESULT[$suite]=FAIL
    tail -n 40 "$log"
  fi
  DURATION[$suite]=$((SECONDS - start))
  TOTAL_PASSED=$((TOTAL_PASSED + PASSED[$suite]))
  TOTAL_FAILED=$((TOTAL_FAILED + FAILED[$suite]))
done

banner summary
printf '%-8s %-6s %7s %7s %7s %8s\n' suite result passed failed skipped seconds
overall=0
for suite in "${SUITES[@]}"; do
  printf '%-8s %-6s %7d %7d %7d %8d\n' "$suite" "${RESULT[$suite]}" "${PASSED[$suite]}" \
    "${FAILED[$suite]}" "${SKIPPED[$suite]}" "${DURATION[$suite]}"
  [[ "${RESULT[$suite]}" == PASS ]] || overall=1
done
echo "logs: $LOGS"
echo "$TOTAL_PASSED passed, $TOTAL_FAILED failed"
exit "$overall"
