#!/usr/bin/env bash
# Checks the format; builds everything and runs every test: once in the normal
# build, once under AddressSanitizer + UndefinedBehaviorSanitizer; compiles the
# system's own code with clang-tidy (every warning an error); then builds the libFuzzer
# targets and runs each for FUZZ_SECONDS (default 10) from its seed corpus, so
# that they keep building and the parsers keep holding; builds the Debian
# packages and checks what they hold and lintian (scripts/package.sh), and
# installs, runs and purges them in a clean root (scripts/package-test.sh,
# about a minute and a quarter: it downloads a Debian root; PACKAGE_TEST=0
# leaves it out where Debian's mirror cannot be reached). Installs what is
# missing first.
# Tests start their own slapd and SMTP server on loopback; nothing needs to run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
jobs=$(nproc)
for preset in dev asan; do
  echo "== build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

echo "== clang-tidy over the system's own code"
cmake --preset tidy >/dev/null
cmake --build --preset tidy -j "$jobs"

echo "== fuzz targets, ${FUZZ_SECONDS:-10} s each"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzzers
work=$(mktemp -d "${TMPDIR:-/tmp}/quellix-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
for fuzzer in $(find build/fuzz -name '*_fuzz' -type f -perm -u+x | sort); do
  name=$(basename "$fuzzer")
  seeds=$(find . -path ./build -prune -o -type d -path "*/fuzz_corpus/${name%_fuzz}" -print | head -1)
  # New inputs go to a scratch folder: the seed corpus in the tree stays as it is.
  mkdir -p "$work/$name"
  echo "-- $name${seeds:+ (seeds: $seeds)}"
  "$fuzzer" -max_total_time="${FUZZ_SECONDS:-10}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/$name-" "$work/$name" ${seeds:+"$seeds"} 2>"$work/$name.log" ||
    { tail -50 "$work/$name.log"; ls "$work/$name"-* 2>/dev/null; exit 1; }
done

echo "== Debian packages: build, contents, lintian"
bash scripts/package.sh
if [ "${PACKAGE_TEST:-1}" = 1 ]; then
  echo "== Debian packages in a clean root"
  # It makes a root with chroot and mounts: root's work.
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" bash scripts/package-test.sh
fi
