#!/usr/bin/env bash
# Benchmark of whole cleanup runs: MESSAGES messages of about 2 KB in the
# "Spam" folders of mailboxes of 100 (received over 60 days, an age limit of
# 36 days puts 40 % past the cutoff), a directory of the same mailbox users,
# all marked. Three copies of the same store:
#   (a) the sink deletes: quellix-host fires the registration's timer,
#       Quellix.so runs the directory query, the eight-URL loop, the sweep
#       query and the deletes, writes the log and drops the report;
#   (b) the store's own floor: the same messages deleted directly in SQLite
#       from the store's table (its indexes and trigger included) by one
#       indexed range DELETE in one transaction (store_sweep_bench bulk), and
#       (b2) by one DELETE and one transaction per folder (store_sweep_bench
#       floor). The corpus is written one mailbox after another. Neither is
#       the lean floor of the reference corpus: scripts/bench-run.sh;
#   (c) the sink moves every expired message into one destination Inbox;
#   (p) the preview of run (a), before it, on its store: what it would
#       delete, per mailbox and folder, with sizes and received times; and
#   (s) the delete run's selection alone on that store (the same queries,
#       each selected row read as the run reads it, nothing deleted): the
#       floor the preview is measured by.
# Prints wall time and peak RSS of each, the counts, the machine's load
# before and after (uptime: the figures are only as quiet as the machine)
# and the ratios a/b (delete against the store's floor), a/b2, c/a (move
# against delete) and p/s (preview against the selection), all measured in
# this one run.
#   usage: scripts/bench-sink.sh [MESSAGES]     (default 1000000)
#   PER_FOLDER (default 100) messages per mailbox: the same mailbox count with
#   fewer messages shows what memory depends on.
#   BUILD_DIR (default build/release) is configured with the release settings
#   when missing; WORK_DIR (default a new temporary directory) holds the stores.
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-1000000}
per_folder=${PER_FOLDER:-100}
mailboxes=$(( (messages + per_folder - 1) / per_folder ))
age=36
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" \
  --target quellix-admin quellix-host Quellix sink_bench store_sweep_bench preview_bench >/dev/null
admin=$build/tools/quellix-admin; host=$build/tools/quellix-host; module=$build/sink/Quellix.so
bench=$build/sink/sink_bench; floor=$build/platform/store_sweep_bench
preview=$build/setup/bench/preview_bench

work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/quellix-bench-sink.XXXXXX")}
trap 'rm -rf "$work"' EXIT
for run in a b c d; do
  mkdir -p "$work/$run"
  printf 'state_dir = %s\ndata_dir = %s\nserver.computer_name = exch01\nserver.domain_dns_name = bench.test\ntemp_dir = %s/tmp\n' \
    "$work/$run" "$work/$run" "$work/$run" > "$work/$run/platform.conf"
done
cfg() { echo "$work/$1/platform.conf"; }

echo "== corpus: $mailboxes mailboxes x $per_folder messages of ~2 KB over 60 days, age limit $age days"
start=$(date +%s.%N)
"$admin" --config "$(cfg a)" store generate-corpus --namespace bench.test --mailboxes "$mailboxes" \
  --messages "$per_folder" --size 2048 --days 60 --seed 1 --folder Spam --prefix user 2>/dev/null
QUELLIX_CONFIG=$(cfg a) "$bench" directory --users "$mailboxes" --prefix user --server EXCH01 >/dev/null
echo "   generated in $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s, $(du -h "$work/a/store.db" | cut -f1)"
for run in b c d; do
  for f in store.db store.db-wal directory.ldb; do
    if [ -f "$work/a/$f" ]; then cp "$work/a/$f" "$work/$run/$f"; fi
  done
done
item_a=$(QUELLIX_CONFIG=$(cfg a) "$bench" registration --age "$age" --folder Spam)
item_c=$(QUELLIX_CONFIG=$(cfg c) "$bench" registration --age "$age" --folder Spam --move)
for run in a c; do "$host" --config "$(cfg $run)" register "$module"; done

# Each run starts with the disk quiet (the copies and earlier runs written out).
sink_run() {  # run item -> "seconds=.. peak_rss_kib=.. exit=.."
  sync
  QUELLIX_CONFIG=$(cfg "$1") "$bench" measure "$host" ontimer "$2"
}
count() { grep -aoE '^[0-9]+ messages has been (deleted|moved)' "$work/$1/tmp/Quellix.LOG" | awk '{ s += $1 } END { print s + 0 }'; }
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

echo "== load before: $(uptime | sed 's/.*load average/load average/')"
sync
s=$(QUELLIX_CONFIG=$(cfg a) "$bench" measure "$preview" select "$item_a" | tr '\n' ' ')
echo "(s) selection:    $s"
p=$(QUELLIX_CONFIG=$(cfg a) "$bench" measure "$preview" preview "$item_a" | tr '\n' ' ')
echo "(p) preview:      $p"
a=$(sink_run a "$item_a")
echo "(a) sink, delete: $a deleted=$(count a) $(grep -a 'Mailboxes processed' "$work/a/tmp/Quellix.LOG" | tr -d '\r')"
# The floor deletes what the sink selected: its cutoff is the run's start
# minus the age limit, in UTC.
started=$(grep -a '^Started at: ' "$work/a/tmp/Quellix.LOG" | sed 's/^Started at: //; s/\r$//')
cutoff=$(date -u -d "@$(( $(date -d "$started" +%s) - age * 86400 ))" +%Y-%m-%dT%H:%M:%SZ)
sync
b=$(QUELLIX_CONFIG=$(cfg b) "$floor" bulk --namespace bench.test --mailboxes "$mailboxes" \
      --cutoff "$cutoff" --folder Spam --prefix user)
echo "(b) store floor:  $b"
sync
b2=$(QUELLIX_CONFIG=$(cfg d) "$floor" floor --namespace bench.test --mailboxes "$mailboxes" \
      --cutoff "$cutoff" --folder Spam --prefix user)
echo "(b2) per folder:  $b2"
c=$(sink_run c "$item_c")
echo "(c) sink, move:   $c moved=$(count c) $(grep -a 'Mailboxes processed' "$work/c/tmp/Quellix.LOG" | tr -d '\r')"
echo "== load after:  $(uptime | sed 's/.*load average/load average/')"
awk -v a="$(field "$a" seconds)" -v b="$(field "$b" seconds)" -v b2="$(field "$b2" seconds)" \
    -v c="$(field "$c" seconds)" -v p="$(field "$p" seconds)" -v s="$(field "$s" seconds)" \
  'BEGIN { printf "ratio a/b = %.2f (delete / store floor)   a/b2 = %.2f   c/a = %.2f (move / delete)   p/s = %.2f (preview / selection)   p/a = %.2f (preview / delete run)\n", a / b, a / b2, c / a, p / s, p / a }'
