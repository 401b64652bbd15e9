#!/usr/bin/env bash
# Benchmark of the run history against the run it records: a run of
# MAILBOXES mailboxes (default 10000) records one folder each.
#   (a) the history: RunRecorder::Begin, a Folder() per mailbox (written in
#       batches), End and the metrics file (run_history_bench recorder);
#   (b) the floor of the run itself: the expired messages of the same number
#       of folders deleted directly in SQLite, one DELETE and one transaction
#       per folder (store_sweep_bench floor, on a generated store of
#       PER_FOLDER messages of ~2 KB per mailbox, default 10, 60 % expired).
#       A real run does more per folder (directory query, URLs, the access
#       layer, the log), so a/b overstates the history's share of a run;
#   (c) the history with one transaction per folder (what batching saves).
# Prints each one's wall and CPU seconds, the machine's load, and the ratios
# a/b and c/b measured in this one run.
#   usage: scripts/bench-history.sh [MAILBOXES]     (default 10000)
#   BUILD_DIR (default build/release) is configured with the release preset
#   when missing; WORK_DIR (default a new temporary directory) holds the files.
set -euo pipefail
cd "$(dirname "$0")/.."
mailboxes=${1:-10000}
per_folder=${PER_FOLDER:-10}
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target quellix-admin store_sweep_bench run_history_bench >/dev/null
admin=$build/tools/quellix-admin
sweep=$build/platform/store_sweep_bench
bench=$build/platform/run_history_bench

work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/quellix-bench-history.XXXXXX")}
trap 'rm -rf "$work"' EXIT
for run in a b c; do
  mkdir -p "$work/$run"
  printf 'state_dir = %s/%s\nserver.computer_name = bench\nserver.domain_dns_name = bench.test\nmetrics.textfile = %s/%s/quellix.prom\n' \
    "$work" "$run" "$work" "$run" > "$work/$run/platform.conf"
done

until=2026-01-01T00:00:00Z
cutoff=2025-12-08T00:00:00Z   # 24 days before: 60 % of the messages expired
echo "== store: $mailboxes mailboxes x $per_folder messages of ~2 KB over 60 days"
"$admin" --config "$work/b/platform.conf" store generate-corpus --namespace bench.test \
  --mailboxes "$mailboxes" --messages "$per_folder" --size 2048 --days 60 --seed 1 --until "$until" 2>/dev/null

field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
echo "== load before: $(uptime | sed 's/.*load average/load average/')"
sync
a=$(QUELLIX_CONFIG="$work/a/platform.conf" "$bench" recorder "$mailboxes"); echo "(a) $a"
sync
b=$(QUELLIX_CONFIG="$work/b/platform.conf" "$sweep" floor --namespace bench.test --mailboxes "$mailboxes" --cutoff "$cutoff"); echo "(b) $b"
sync
c=$(QUELLIX_CONFIG="$work/c/platform.conf" "$bench" commit-each "$mailboxes"); echo "(c) $c"
echo "== load after:  $(uptime | sed 's/.*load average/load average/')"
test -s "$work/a/quellix.prom" || { echo "no metrics file written" >&2; exit 1; }
awk -v a="$(field "$a" seconds)" -v b="$(field "$b" seconds)" -v c="$(field "$c" seconds)" \
    -v ac="$(field "$a" cpu_seconds)" -v bc="$(field "$b" cpu_seconds)" -v cc="$(field "$c" cpu_seconds)" \
  'BEGIN { printf "history / run floor (a/b)              = %.3f wall, %.3f cpu\n", a / b, ac / bc;
           printf "commit per folder / run floor (c/b)    = %.3f wall, %.3f cpu\n", c / b, cc / bc }'
