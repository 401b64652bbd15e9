#!/usr/bin/env bash
# Benchmark of the sweep on the item store alone (no directory, no run log,
# no component host: scripts/bench-sink.sh times whole runs). Generates
# MESSAGES messages of about 2 KB in folders of PER_FOLDER (default 100,
# received over 60 days), then deletes those older than 14 days
#   (a) through the access layer, the sink's way: per folder a Connection,
#       a Record, the sweep's query and Recordset.Delete row by row;
#   (b) directly in SQLite, one DELETE and one transaction per folder;
#   (c) directly in SQLite, one indexed range DELETE in one transaction
#       (the store's own floor, which holds the write lock for the whole run;
#       the lean floor of the reference corpus is scripts/bench-run.sh's).
# Each runs on its own copy of the same store, after a sync. Prints each
# one's wall and CPU seconds and peak RSS, the machine's load before and
# after (uptime), and the ratios a/b and a/c, wall and CPU, measured in this
# one run.
#   usage: scripts/bench-store.sh [MESSAGES]     (default 1000000)
#   BUILD_DIR (default build/release) is configured with the release preset
#   when missing; WORK_DIR (default a new temporary directory) holds the stores.
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-1000000}
per_folder=${PER_FOLDER:-100}
mailboxes=$(( (messages + per_folder - 1) / per_folder ))
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target quellix-admin store_sweep_bench >/dev/null
admin=$build/tools/quellix-admin
bench=$build/platform/store_sweep_bench

work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/quellix-bench-store.XXXXXX")}
trap 'rm -rf "$work"' EXIT
for run in a b c; do
  mkdir -p "$work/$run"
  printf 'store = %s/%s/store.db\nserver.computer_name = bench\nserver.domain_dns_name = bench.test\n' \
    "$work" "$run" > "$work/$run/platform.conf"
done

until=2026-01-01T00:00:00Z
cutoff=2025-12-18T00:00:00Z   # 14 days before
echo "== corpus: $mailboxes mailboxes x $per_folder messages of ~2 KB over 60 days"
start=$(date +%s.%N)
"$admin" --config "$work/a/platform.conf" store generate-corpus --namespace bench.test \
  --mailboxes "$mailboxes" --messages "$per_folder" --size 2048 --days 60 --seed 1 --until "$until" 2>/dev/null
echo "   generated in $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s, $(du -h "$work/a/store.db" | cut -f1)"
cp "$work/a/store.db" "$work/b/store.db"
cp "$work/a/store.db" "$work/c/store.db"

# Each run starts with the disk quiet (the copies and earlier runs written out).
run() { sync; QUELLIX_CONFIG="$work/$1/platform.conf" "$bench" "$2" --namespace bench.test --mailboxes "$mailboxes" --cutoff "$cutoff"; }
echo "== load before: $(uptime | sed 's/.*load average/load average/')"
a=$(run a access); echo "(a) $a"
b=$(run b floor);  echo "(b) $b"
c=$(run c bulk);   echo "(c) $c"
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
for v in "$b" "$c"; do
  if [ "$(field "$a" deleted)" != "$(field "$v" deleted)" ]; then echo "deleted counts differ" >&2; exit 1; fi
done
echo "== load after:  $(uptime | sed 's/.*load average/load average/')"
awk -v a="$(field "$a" seconds)" -v b="$(field "$b" seconds)" -v c="$(field "$c" seconds)" \
    -v ac="$(field "$a" cpu_seconds)" -v bc="$(field "$b" cpu_seconds)" -v cc="$(field "$c" cpu_seconds)" \
  'BEGIN { printf "access layer / per-folder floor (a/b) = %.2f wall, %.2f cpu\n", a / b, ac / bc;
           printf "access layer / store floor (a/c)      = %.2f wall, %.2f cpu\n", a / c, ac / cc }'
