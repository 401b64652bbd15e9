#!/usr/bin/env bash
# Measures time-zone conversion and ISO formatting against the C library in the
# same run (release build). Usage: scripts/bench-isodate.sh [OPERATIONS] (default 1,000,000)
#   BUILD_DIR (default build/release) is configured with the release settings
#   when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target iso_date_bench >/dev/null
"$build/isodate/iso_date_bench" "${1:-1000000}"
