#!/usr/bin/env bash
# Checks the format; builds everything and runs every test: once in the normal
# build, once under AddressSanitizer + UndefinedBehaviorSanitizer; runs
# clang-tidy over the system's own code from the normal build's compile
# commands (scripts/tidy.sh, every warning an error); then builds the
# libFuzzer targets and runs each for FUZZ_SECONDS (default 10) from its seed
# corpus, so that they keep building and the parsers keep holding; builds the
# Debian packages and checks what they hold and lintian (scripts/package.sh),
# and runs their tests (debian/tests, by autopkgtest) and an upgrade in clean
# roots (scripts/package-test.sh, a few minutes: it downloads a Debian root and, for
# each test, the packages it depends on; PACKAGE_TEST=0
# leaves it out where Debian's mirror cannot be reached). The packages are
# built after the normal tests, and their tests run beside the sanitizer
# build and its tests: both spend most of their time waiting on servers and
# downloads. Installs what is missing first. Each step says how long it took.
# Tests start their own slapd and SMTP server on loopback; nothing needs to run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
step_started=$SECONDS
step=""
# Ends the step under way, saying its time, and begins the next one.
step() {
  [ -z "$step" ] || echo "== $step: $((SECONDS - step_started)) s"
  step=$1 step_started=$SECONDS
  [ -z "$step" ] || echo "== $step"
}
work=$(mktemp -d "${TMPDIR:-/tmp}/quellix-test.XXXXXX")
tidy_pid="" package_test_pid=""
cleanup() {
  [ -z "$tidy_pid" ] || kill -- "-$tidy_pid" 2>/dev/null || true
  [ -z "$package_test_pid" ] || kill -- "-$package_test_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step "format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
jobs=$(nproc)
# The tests spend most of their time waiting on their servers (Dovecot,
# slapd, the SMTP listener, the event service's timers): twice as many as
# there are processors keep the processors busy.
test_jobs=${QUELLIX_TEST_JOBS:-$((2 * jobs))}
for preset in dev asan; do
  step "build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = dev ]; then
    # clang-tidy reads the dev build's compile commands. It runs beside the
    # tests and the next build at the lowest priority, on what the tests,
    # waiting on their servers, leave of the processors; its findings are
    # shown when it ends. It runs in a session of its own, so that a failure
    # stops all of it; the scheduler weighs a session's group of processes
    # against the others as a whole, so the group's own priority is lowered
    # too, or nice would not count.
    setsid sh -c 'echo 19 >/proc/self/autogroup 2>/dev/null; exec nice -n 19 bash scripts/tidy.sh build/dev' \
      >"$work/tidy.log" 2>&1 &
    tidy_pid=$!
  fi
  step "test: $preset"
  ctest --preset "$preset" -j "$test_jobs"
  if [ "$preset" = dev ]; then
    step "Debian packages: build, contents, lintian"
    bash scripts/package.sh
    if [ "${PACKAGE_TEST:-1}" = 1 ]; then
      # In a session of its own, so that a failure elsewhere stops all of it;
      # its log is shown when it is waited for. It makes a root with chroot
      # and mounts: root's work.
      sudo_cmd=()
      [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
      setsid "${sudo_cmd[@]}" bash scripts/package-test.sh >"$work/package-test.log" 2>&1 &
      package_test_pid=$!
      echo "-- the packages' tests in clean roots begun beside the sanitizer build"
    fi
  fi
done

# Waits for a step begun beside the others (pid $1), shows its log ($2),
# and stops here when it failed.
wait_beside() {
  local status=0
  wait "$1" || status=$?
  cat "$2"
  [ "$status" -eq 0 ] || exit 1
}

step "clang-tidy over the system's own code (begun after the dev build)"
wait_beside "$tidy_pid" "$work/tidy.log"
tidy_pid=""

step "fuzz targets, ${FUZZ_SECONDS:-10} s each, $jobs at a time"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzzers
# Runs one fuzzer from its seed corpus; new inputs go to a scratch folder, so
# the seed corpus in the tree stays as it is.
fuzz() {
  local fuzzer=$1 name seeds
  name=$(basename "$fuzzer")
  seeds=$(find . -path ./build -prune -o -type d -path "*/fuzz_corpus/${name%_fuzz}" -print | head -1)
  mkdir -p "$work/$name"
  echo "-- $name${seeds:+ (seeds: $seeds)}"
  "$fuzzer" -max_total_time="${FUZZ_SECONDS:-10}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/$name-" "$work/$name" ${seeds:+"$seeds"} 2>"$work/$name.log" ||
    { tail -50 "$work/$name.log"; ls "$work/$name"-* 2>/dev/null || true; echo "-- $name failed" >&2; return 1; }
}
# Waits for one of the fuzzers still running, by pid: a bare `wait -n` also
# takes the package test begun beside them, and the last fuzzer then ran on
# unchecked after the step.
fuzz_pids=() fuzz_failed=0
fuzz_wait_one() {
  local ended="" kept=() p
  wait -n -p ended "${fuzz_pids[@]}" || fuzz_failed=1
  for p in "${fuzz_pids[@]}"; do [ "$p" = "$ended" ] || kept+=("$p"); done
  fuzz_pids=("${kept[@]}")
}
for fuzzer in $(find build/fuzz -name '*_fuzz' -type f -perm -u+x | sort); do
  fuzz "$fuzzer" &
  fuzz_pids+=("$!")
  if [ "${#fuzz_pids[@]}" -ge "$jobs" ]; then fuzz_wait_one; fi
done
while [ "${#fuzz_pids[@]}" -gt 0 ]; do fuzz_wait_one; done
[ "$fuzz_failed" -eq 0 ] || exit 1

if [ -n "$package_test_pid" ]; then
  step "Debian packages in a clean root (begun after the packages were built)"
  wait_beside "$package_test_pid" "$work/package-test.log"
  package_test_pid=""
fi
step ""
echo "== every step passed in $SECONDS s"
