#!/usr/bin/env bash
# The setup window's benchmark: the main window shown and both mailbox lists
# filled from 30,000 mailbox users on the embedded directory (goal < 3 s),
# beside the bare fill of the same lists measured in the same run, with the
# longest pause in the window's event handling during the fill. Optimised
# build, offscreen platform.
#   bash scripts/bench-setup-window.sh [--users N] [--runs R]
#   BUILD_DIR (default build/release) is configured with the release settings
#   when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target setup_window_bench >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$build/setup/windows/setup_window_bench" "$@"
