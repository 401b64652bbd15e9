#!/usr/bin/env bash
# Benchmark of the whole cleanup run against the lean SQLite floor, on the
# reference corpus of ../shared/bench (see its README): USERS mailboxes of
# MESSAGES junk messages of about 3 KB, received over 60 days (plus a few
# Inbox messages each that must survive), an age limit of 36 days (about
# 40 % expired). The same messages with the same received times go
#   (a) into the embedded store, received order across every mailbox as mail
#       arrives, where quellix-host fires a registration's timer as the event
#       service does (directory query, every mailbox, run log, report,
#       history): once deleting, once moving into one destination Inbox;
#   (f) into the lean floor: one SQLite table, one index, one DELETE of every
#       expired Junk row in one transaction (lean-floor.py bulk);
#   (s) the store's own floor on a copy of (a)'s store: what SQLite alone
#       does to delete the same messages folder by folder as the run does
#       (store_floor, on SQLite's C interface as the store is: the run's
#       query and deletes, batches and journal settings, nothing of the run
#       around them), which tells the store's layout and the folder-by-folder
#       way from the run's own code;
#   and, when asked, (x) `find -delete` of the same expired files and
#   (d) `doveadm expunge -A mailbox Junk before DATE` on the same Maildirs.
# Each tool runs on a fresh copy of its data after a sync, in interleaved
# rounds (a f a f ...); the script prints every run, then per tool the
# medians of wall and CPU seconds (user + system), bytes written (what the
# process sent to storage, /proc/PID/io write_bytes) and peak RSS, with the
# ratio of each median to the floor's and the load average before and after,
# and the median over the rounds of each round's ratio to its own floor.
#   usage: scripts/bench-run.sh [--users N] [--messages M] [--rounds R]
#                               [--find] [--doveadm] [--keep] [--reuse]
#   (--reuse: the corpus, store and floor a kept WORK_DIR already holds;
#   their received times then lie further back than the run's cutoff)
#   (default 10000 users, 20 messages, 3 rounds). BUILD_DIR (default
#   build/release, configured with the release preset when missing) and
#   WORK_DIR (default a new temporary directory, removed unless --keep);
#   RUN_CONF, lines added to the runs' platform configuration (for
#   example "store.batch_ms = 1000"); PYTHON (default /usr/bin/python3,
#   the system's: a shim first on PATH would add its own start-up to the
#   floor's time and flatter every ratio).
# Every tool is started the same way, by its path, under the same measure.
# The floor's own work (its transaction and close, as it times them) is
# reported beside its process's wall time: the ratio "wall/work" leaves the
# interpreter's start-up out of the floor.
set -euo pipefail
cd "$(dirname "$0")/.."
users=10000 messages=20 rounds=3 with_find=0 with_doveadm=0 keep=0 reuse=0
py=${PYTHON:-/usr/bin/python3}
[ -x "$py" ] || { echo "bench-run: $py is not a program (PYTHON)" >&2; exit 1; }
while [ $# -gt 0 ]; do
  case "$1" in
    --users) users=$2; shift 2 ;;
    --messages) messages=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --find) with_find=1; shift ;;
    --doveadm) with_doveadm=1; shift ;;
    --keep) keep=1; shift ;;
    --reuse) reuse=1; keep=1; shift ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
age=36 domain=bench.example server=BENCH01
shared=../shared/bench
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/release ]; then
    cmake --preset release >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
fi
cmake --build "$build" -j "${JOBS:-2}" --target quellix-host Quellix sink_bench store_floor >/dev/null
tool() { find "$build" -name "$1" -type f | head -1; }
host=$(realpath "$(tool quellix-host)") module=$(realpath "$(tool Quellix.so)")
bench=$(realpath "$(tool sink_bench)") store_floor=$(realpath "$(tool store_floor)")

work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/quellix-bench-run.XXXXXX")}
mkdir -p "$work"
work=$(realpath "$work")
# Dovecot's auth service, unprivileged, reads the corpus's passwd file there.
if [ "$with_doveadm" = 1 ]; then chmod 755 "$work"; fi
dovecot_conf=  # the configuration of a private Dovecot while one runs
cleanup() {
  if [ -n "$dovecot_conf" ]; then doveadm -c "$dovecot_conf" stop 2>/dev/null || true; fi
  if [ "$keep" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
conf() {  # dir -> a platform configuration keeping everything in dir
  printf 'state_dir = %s\ndata_dir = %s\ntemp_dir = %s/tmp\nserver.computer_name = %s\nserver.domain_dns_name = %s\n' \
    "$1" "$1" "$1" "${server,,}" "$domain" > "$1/platform.conf"
}

now=$(date +%s)
if [ "$reuse" = 1 ] && [ -f "$work/floor.db" ]; then
  echo "== reusing the corpus, store and floor of $work"
else
echo "== corpus: $users mailboxes x $messages junk messages of ~3 KB over 60 days, age limit $age days"
"$py" "$shared/gen-maildir.py" --root "$work/corpus" --users "$users" --messages "$messages" \
  --size 3000 --days 60 --seed 1 --now "$now"
mkdir -p "$work/store"
conf "$work/store"
export QUELLIX_CONFIG=$work/store/platform.conf
"$bench" directory --users "$users" --prefix u --digits 5 --server "$server" >/dev/null
"$bench" import-maildir "$work/corpus" --folder Junk
"$host" register "$module"
unset QUELLIX_CONFIG
"$py" "$shared/lean-floor.py" build "$work/floor.db" "$work/corpus"
echo "   store $(du -sh "$work/store" | cut -f1), floor $(du -h "$work/floor.db" | cut -f1)"
fi

# The floor and the Maildir tools delete what the run selects: received at
# or before the run's start minus the age limit (the run's cutoff moves on
# with the clock; counts are printed beside each run).
cutoff_now() { echo $(( $(date +%s) - age * 86400 )); }
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
run_dir=$work/run
fresh() {  # copy of what tool $1 works on, written out before it runs
  rm -rf "$run_dir"
  case "$1" in
    delete|move) cp -a "$work/store" "$run_dir"; conf "$run_dir"
                 [ -z "${RUN_CONF:-}" ] || printf '%s\n' "$RUN_CONF" >> "$run_dir/platform.conf" ;;
    floor) mkdir -p "$run_dir"; cp "$work/floor.db" "$run_dir/floor.db" ;;
    folders) mkdir -p "$run_dir"; cp "$work/store/store.db" "$run_dir/store.db" ;;
    find|doveadm) cp -a "$work/corpus" "$run_dir"
                  "$py" "$shared/gen-maildir.py" --root "$run_dir" --conf-only ;;
  esac
  sync
}
measure() { "$bench" measure "$@"; }
run_tool() {  # tool -> one line of figures and what it removed
  local t=$1 item out count cutoff
  fresh "$t"
  case "$t" in
    delete|move)
      item=$(QUELLIX_CONFIG=$run_dir/platform.conf "$bench" registration --age "$age" --folder Junk \
               $([ "$t" = move ] && echo --move))
      sync
      out=$(QUELLIX_CONFIG=$run_dir/platform.conf measure "$host" ontimer "$item")
      count=$(grep -aoE '^[0-9]+ messages has been (deleted|moved)' "$run_dir/tmp/Quellix.LOG" |
              awk '{ s += $1 } END { print s + 0 }')
      ;;
    floor)
      cutoff=$(cutoff_now)
      out=$(measure "$py" "$shared/lean-floor.py" bulk "$run_dir/floor.db" "$cutoff" |
            tr '\n' ' ')
      count=$(echo "$out" | sed -n 's/.*deleted=\([0-9]*\).*/\1/p')
      out="$out work_s=$(echo "$out" | sed -n 's/.*txn_s=\([0-9.]*\) close_s=\([0-9.]*\).*/\1 \2/p' |
                         awk '{ print $1 + $2 }')"
      "$py" "$shared/lean-floor.py" check "$run_dir/floor.db" "$cutoff" "$work/floor.db" >/dev/null
      ;;
    folders)
      out=$(measure "$store_floor" "$run_dir/store.db" "$(cutoff_now)" Junk | tr '\n' ' ')
      count=$(echo "$out" | sed -n 's/.*deleted=\([0-9]*\).*/\1/p')
      ;;
    find)
      cutoff=$(cutoff_now)
      local before; before=$(find "$run_dir/home" -path '*/.Junk/cur/*' -type f | wc -l)
      out=$(measure "$(command -v find)" "$run_dir/home" -path '*/.Junk/cur/*' -type f \
              ! -newermt "@$cutoff" -delete)
      count=$(( before - $(find "$run_dir/home" -path '*/.Junk/cur/*' -type f | wc -l) ))
      ;;
    doveadm)
      cutoff=$(cutoff_now)
      local before; before=$(find "$run_dir/home" -path '*/.Junk/cur/*' -type f | wc -l)
      # -A lists the users through Dovecot's auth service: a private
      # instance on the copy's own configuration (no protocols), stopped after.
      dovecot -c "$run_dir/dovecot.conf"
      sleep 1  # its auth service up
      dovecot_conf=$run_dir/dovecot.conf
      out=$(measure "$(command -v doveadm)" -c "$run_dir/dovecot.conf" expunge -A mailbox Junk \
              before "$cutoff")
      doveadm -c "$run_dir/dovecot.conf" stop
      dovecot_conf=
      count=$(( before - $(find "$run_dir/home" -path '*/.Junk/cur/*' -type f | wc -l) ))
      ;;
  esac
  echo "$out removed=$count"
}

tools="delete move folders floor"
[ "$with_find" = 1 ] && tools="$tools find"
[ "$with_doveadm" = 1 ] && { command -v doveadm >/dev/null && command -v dovecot >/dev/null ||
                               { echo "doveadm is not installed (dovecot-core)" >&2; exit 1; }
                             tools="$tools doveadm"; }
load_before=$(uptime | sed 's/.*load average: //')
echo "== load before: $load_before"
declare -A results
for r in $(seq 1 "$rounds"); do
  for t in $tools; do
    line=$(run_tool "$t")
    printf 'round %d %-8s %s\n' "$r" "$t" "$line"
    if [ "$(field "$line" exit)" != 0 ]; then echo "$t failed" >&2; exit 1; fi
    results[$t]+="$line"$'\n'
  done
done
load_after=$(uptime | sed 's/.*load average: //')
echo "== load after:  $load_after"

median() {  # tool key -> median of that figure over the rounds
  printf '%s' "${results[$1]}" | tr ' ' '\n' | sed -n "s/^$2=//p" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
fw=$(median floor seconds) fc=$(median floor cpu_seconds)
echo
echo "medians of $rounds rounds ($users mailboxes x $messages messages; load $load_before -> $load_after)"
printf '%-8s %8s %8s %10s %10s %8s %8s %10s %9s\n' tool wall_s cpu_s written_GB wchar_GB rss_MiB removed wall/floor cpu/floor
for t in $tools; do
  w=$(median "$t" seconds) c=$(median "$t" cpu_seconds) b=$(median "$t" write_bytes)
  x=$(median "$t" wchar) m=$(median "$t" peak_rss_kib) n=$(median "$t" removed)
  awk -v t="$t" -v w="$w" -v c="$c" -v b="$b" -v x="$x" -v m="$m" -v n="$n" -v fw="$fw" -v fc="$fc" \
    'BEGIN { printf "%-8s %8.2f %8.2f %10.2f %10.2f %8.1f %8d %10.2f %9.2f\n", t, w, c, b / 1e9, x / 1e9, m / 1024, n, w / fw, c / fc }'
done
# A round's tools run minutes apart at most: the ratio of each to the floor
# of its own round leaves out a machine that is slower for a while (a
# shared host), where the medians of each tool over the rounds do not.
round_ratio() {  # tool key -> median over the rounds of tool / floor, each of one round
  local pick="{ for (i = 1; i <= NF; i++) if (index(\$i, \"$2=\") == 1) print substr(\$i, ${#2} + 2) }"
  paste <(printf '%s' "${results[$1]}" | awk "$pick") <(printf '%s' "${results[floor]}" | awk "$pick") |
    awk '{ print $1 / $2 }' | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
printf 'by round (median of each round'"'"'s tool / floor):'
for t in $tools; do
  [ "$t" = floor ] || printf ' %s wall %s cpu %s;' "$t" "$(round_ratio "$t" seconds)" \
                               "$(round_ratio "$t" cpu_seconds)"
done
echo
dw=$(median delete seconds) mw=$(median move seconds) fk=$(median floor work_s)
awk -v d="$dw" -v m="$mw" 'BEGIN { printf "move / delete (wall) = %.2f\n", m / d }'
awk -v d="$dw" -v m="$mw" -v f="$fw" -v k="$fk" 'BEGIN {
  printf "floor: process %.2f s, its own work %.2f s (start-up %.2f s); delete / floor work = %.2f, move / floor work = %.2f\n",
         f, k, f - k, d / k, m / k }'
