#!/usr/bin/env bash
# Growth of a cleanup run with its directory: for each size N (default
# 1000 10000 100000 1000000) a private slapd holds N mailbox users, all
# marked and homed on the server, read by the run in pages; a tenth of them
# have a "Junk" folder of MESSAGES (default 4) messages of about 2 KB in the
# embedded store, received over 60 days (an age limit of 36 days puts some
# 40 % past the cutoff); the others have no such folder, which the run says
# in its log. One delete run per size through quellix-host, measured from
# outside: wall time, time per mailbox and its ratio to the 10,000-mailbox
# run's (goal: within 10 %), and the peak RSS (goal: under 32 MB at every
# size). Each run is verified: every mailbox processed, no message past the
# cutoff left, and the store short of exactly what the log says was deleted.
#   usage: scripts/bench-growth.sh
#   SIZES, MESSAGES; BUILD_DIR (default build/release) is configured with
#   the release settings when missing; WORK_DIR (default a new temporary
#   directory) holds the stores, one size at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${SIZES:-"1000 10000 100000 1000000"}
per=${MESSAGES:-4}
age=36
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLIX_BENCH=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target quellix-admin quellix-host Quellix sink_bench >/dev/null
admin=$build/tools/quellix-admin; host=$build/tools/quellix-host; module=$build/sink/Quellix.so
bench=$build/sink/sink_bench

work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/quellix-bench-growth.XXXXXX")}
slapd_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$slapd_pid" ]; then wait "$slapd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
messages() {  # store condition -> count of messages
  sqlite3 "$1/store.db" "SELECT count(*) FROM items WHERE received IS NOT NULL $2"
}

echo "== load before: $(uptime | sed 's/.*load average/load average/')"
printf '%10s %10s %12s %12s %10s %10s %8s\n' mailboxes seconds "us/mailbox" "vs 10^4" "rss MiB" deleted junk
rows=()
for n in $sizes; do
  w=$work/$n
  mkdir -p "$w"
  conf=$w/platform.conf
  printf 'state_dir = %s\ndata_dir = %s\nserver.computer_name = exch01\nserver.domain_dns_name = bench.test\ntemp_dir = %s/tmp\n' \
    "$w" "$w" "$w" > "$conf"
  junk=$(( n / 10 ))
  QUELLIX_CONFIG=$conf "$bench" directory --users "$n" --prefix user --server EXCH01 --ldif "$w/users.ldif" >/dev/null
  "$admin" --config "$conf" store generate-corpus --namespace bench.test --mailboxes "$junk" \
    --messages "$per" --size 2048 --days 60 --seed 1 --folder Junk --prefix user 2>/dev/null >/dev/null
  # The server runs until its standard input, this script's descriptor 3, closes.
  mkfifo "$w/serve"
  QUELLIX_CONFIG=$conf "$bench" slapd --ldif "$w/users.ldif" < "$w/serve" > "$w/slapd.out" &
  slapd_pid=$!
  exec 3>"$w/serve"
  for _ in $(seq 1 600); do
    if grep -q '^ready$' "$w/slapd.out"; then break; fi
    if ! kill -0 "$slapd_pid" 2>/dev/null; then echo "slapd did not start" >&2; exit 1; fi
    sleep 1
  done
  grep -v '^ready$' "$w/slapd.out" >> "$conf"
  rm -f "$w/users.ldif"
  item=$(QUELLIX_CONFIG=$conf "$bench" registration --age "$age" --folder Junk --search-root GC://127.0.0.1)
  "$host" --config "$conf" register "$module" >/dev/null
  before=$(messages "$w" "")
  sync
  m=$(QUELLIX_CONFIG=$conf "$bench" measure "$host" ontimer "$item" | tr '\n' ' ')
  exec 3>&-
  wait "$slapd_pid" || true
  slapd_pid=
  log=$w/tmp/Quellix.LOG
  processed=$(grep -a 'Mailboxes processed' "$log" | tr -dc '0-9' || true)
  deleted=$(grep -aoE '^[0-9]+ messages has been deleted' "$log" | awk '{ s += $1 } END { print s + 0 }')
  started=$(grep -a '^Started at: ' "$log" | sed 's/^Started at: //; s/\r$//' || true)
  cutoff=$(( $(date -d "$started" +%s) - age * 86400 ))
  after=$(messages "$w" "")
  expired=$(messages "$w" "AND received < $cutoff")
  if [ "$(field "$m" exit)" != 0 ] || [ "$processed" != "$n" ] || [ "$expired" != 0 ] ||
     [ $(( before - after )) != "$deleted" ] || [ "$deleted" = 0 ]; then
    echo "run of $n mailboxes not verified: $m processed=$processed deleted=$deleted before=$before after=$after expired-left=$expired" >&2
    exit 1
  fi
  seconds=$(field "$m" seconds); rss=$(field "$m" peak_rss_kib)
  if [ "$n" = 10000 ]; then base_us=$(awk -v s="$seconds" -v n="$n" 'BEGIN { print s * 1e6 / n }'); fi
  rows+=("$n $seconds $rss $deleted $junk")
  rm -rf "$w"
done
for r in "${rows[@]}"; do
  set -- $r
  awk -v n="$1" -v s="$2" -v rss="$3" -v d="$4" -v j="$5" -v b="${base_us:-0}" 'BEGIN {
    us = s * 1e6 / n
    printf "%10d %10.2f %12.1f %12s %10.1f %10d %8d\n", n, s, us, (b > 0 ? sprintf("%.2f", us / b) : "-"), rss / 1024, d, j }'
done
echo "== load after:  $(uptime | sed 's/.*load average/load average/')"
