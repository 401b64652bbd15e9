#!/usr/bin/env bash
# The setup benchmark: filling both mailbox lists of the setup program from
# 30,000 mailbox users, on the embedded directory (goal < 1 s) and against a
# private slapd (goal < 3 s), each beside the bare directory search with the
# same query text (the floor) and their ratio. Optimised build.
#   bash scripts/bench-setup.sh [--users N] [--runs R] [--skip-slapd]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/release
cmake --preset release >/dev/null
cmake --build "$build" -j2 --target setup_bench
"$build/setup/bench/setup_bench" "$@"
