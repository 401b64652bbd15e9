#!/usr/bin/env bash
# Builds everything and runs every test: once in the normal build, once under
# AddressSanitizer + UndefinedBehaviorSanitizer. Installs what is missing first.
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
