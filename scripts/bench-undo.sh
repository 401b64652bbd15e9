#!/usr/bin/env bash
# Benchmark of the move manifest: a move run's moves with and without their
# manifest entries (MoveRecordForRun against Record::MoveRecord, the floor,
# measured in the same run on the same store), and putting the run back.
#   usage: scripts/bench-undo.sh [FOLDERS [PER_FOLDER [ROUNDS]]]   (200 100 3)
#   BUILD_DIR (default build/release) is configured with the release preset
#   when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target move_manifest_bench >/dev/null
bench=$build/platform/move_manifest_bench
echo "load before: $(uptime)"
"$bench" "${1:-200}" "${2:-100}" "${3:-3}"
echo "load after: $(uptime)"
