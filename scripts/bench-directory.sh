#!/usr/bin/env bash
# The directory benchmark: the sink's mailbox query over 30,000 mailbox users,
# all rows read, on the embedded directory (goal < 0.5 s) and through libldap
# against a private slapd (goal < 2 s), each beside the raw library search
# with the same filter (the floor) and their ratio. Optimised build.
#   bash scripts/bench-directory.sh [--users N] [--runs R] [--skip-slapd]
#   BUILD_DIR (default build/release) is configured with the release settings
#   when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target directory_bench >/dev/null
"$build/platform/directory_bench" "$@"
