#!/usr/bin/env bash
# Measures time-zone conversion and ISO formatting against the C library in the
# same run (release build). Usage: scripts/bench-isodate.sh [OPERATIONS] (default 1,000,000)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target iso_date_bench -j 2
build/release/isodate/iso_date_bench "${1:-1000000}"
