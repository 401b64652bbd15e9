#!/usr/bin/env bash
# The directory benchmark: the sink's mailbox query over 30,000 mailbox users,
# all rows read, on the embedded directory (goal < 0.5 s) and through libldap
# against a private slapd (goal < 2 s), each beside the raw library search
# with the same filter (the floor) and their ratio. Optimised build.
#   bash scripts/bench-directory.sh [--users N] [--runs R] [--skip-slapd]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/release
cmake --preset release >/dev/null
cmake --build "$build" -j2 --target directory_bench
"$build/platform/directory_bench" "$@"
