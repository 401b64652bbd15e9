#!/usr/bin/env bash
# The setup window's benchmark: the main window shown and both mailbox lists
# filled from 30,000 mailbox users on the embedded directory (goal < 3 s),
# beside the bare fill of the same lists measured in the same run, with the
# longest pause in the window's event handling during the fill. Optimised
# build, offscreen platform.
#   bash scripts/bench-setup-window.sh [--users N] [--runs R]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/release
cmake --preset release >/dev/null
cmake --build "$build" -j2 --target setup_window_bench
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$build/setup/windows/setup_window_bench" "$@"
