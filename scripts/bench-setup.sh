#!/usr/bin/env bash
# The setup benchmark: filling both mailbox lists of the setup program from
# 30,000 mailbox users, on the embedded directory (goal < 1 s) and against a
# private slapd (goal < 3 s), each beside the bare directory search with the
# same query text (the floor) and their ratio. Optimised build.
#   bash scripts/bench-setup.sh [--users N] [--runs R] [--skip-slapd]
#   BUILD_DIR (default build/release) is configured with the release settings
#   when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target setup_bench >/dev/null
"$build/setup/bench/setup_bench" "$@"
