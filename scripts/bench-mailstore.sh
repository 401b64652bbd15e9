#!/usr/bin/env bash
# Benchmark of whole cleanup runs over a namespace held by a mail store, on
# the reference corpus of ../shared/bench (see its README): USERS Maildirs of
# MESSAGES junk messages of about 3 KB in "Junk", received over 60 days, and
# a few Inbox messages each that must survive; an age limit of 36 days puts
# 40 % of the junk past the cutoff. The directory holds the same users
# (u00001..), all marked. Five tools, in interleaved rounds (q f d i l q f d
# i l ...), each on a fresh copy of the corpus made and written out before
# it is timed:
#   (q) quellix: quellix-host fires the registration's timer as the event
#       service does (directory query, every mailbox, deletes, run log,
#       report, history), the namespace mapped to the Maildirs
#       (mailstore.NS = maildir:<copy>/home/%n/Maildir);
#   (f) find: `find -delete` of the same expired files, the Maildir floor;
#   (d) doveadm: `doveadm expunge -A mailbox Junk before CUTOFF` through a
#       private Dovecot (its auth serves the user list), Dovecot's index of
#       every folder built beforehand (force-resync), as a mail server does;
#   (i) imap: the same whole run with the namespace mapped to that Dovecot
#       over IMAP on loopback (mailstore.NS = imap://127.0.0.1:PORT, each
#       mailbox through the master user "quellix");
#   (l) imap-floor: scripts/bench-imap-floor.py, the lean IMAP client, the
#       IMAP floor: one connection per mailbox, the same master-user login,
#       SELECT, UID SEARCH, UID STORE and UID EXPUNGE sent in one write.
# With --proxy, (i) and (l) go through a Dovecot proxy in front of two
# backends, as a cluster is reached: the proxy's passdb routes every other
# user's login to the second backend and logs in there through the master
# user; both backends serve the same Maildirs (the first is doveadm's).
# A tool named with "@N" runs with N at once: quellix@N and imap@N with
# run.workers = N, imap-floor@N with N connections (each run's floor is then
# the floor with as many connections, when it is among the tools).
# Each tool deletes what was expired when it started (the run's start minus
# the age limit); after each run the script checks that exactly those Junk
# messages are gone and every Inbox message is left.
# Prints every run, then one Markdown table of medians: wall and CPU (user +
# system) seconds of the tool's own process (the server's are not counted),
# bytes written to storage, peak RSS, and each one's ratio to its floor's
# (find for the Maildir tools, imap-floor for the IMAP ones), with the load
# average before and after; then the goals (quellix <= 1.3 x find, doveadm
# >= 2 x quellix, imap <= 1.3 x imap-floor; with workers: quellix@N <= 1.0 x
# find, doveadm >= 3 x quellix@N, imap@N <= 1.3 x imap-floor@N and at least
# 0.7 N times as fast as imap@1) and quellix's peak RSS on a
# corpus of RSS_USERS users beside the full one's (memory must not grow with
# the messages).
#   usage: scripts/bench-mailstore.sh [--users N] [--messages M] [--rounds R]
#                                     [--tools "quellix find doveadm imap imap-floor"]
#                                     (e.g. --tools "quellix@1 quellix@4 find doveadm")
#                                     [--rss-users N] [--keep] [--reuse] [--proxy]
#   (default 10000 users, 20 messages, 3 rounds, all five tools, RSS users =
#   users / 5, 0 for none). BUILD_DIR (default build/release, configured
#   with the release preset when missing); WORK_DIR (default a new temporary
#   directory, removed unless --keep; --reuse takes the corpora and states a
#   kept WORK_DIR holds, whose received times then lie further back: the
#   checks count from them all the same); PYTHON (default /usr/bin/python3,
#   the system's, started by its path) runs the lean IMAP client. Run as root (the corpus belongs to
#   the mail account, uid 65534, as Dovecot wants it).
set -euo pipefail
cd "$(dirname "$0")/.."
users=10000 messages=20 rounds=3 rss_users=-1 keep=0 reuse=0 proxy=0
tools="quellix find doveadm imap imap-floor"
while [ $# -gt 0 ]; do
  case "$1" in
    --users) users=$2; shift 2 ;;
    --messages) messages=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --tools) tools=$2; shift 2 ;;
    --rss-users) rss_users=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --reuse) reuse=1; keep=1; shift ;;
    --proxy) proxy=1; shift ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
[ "$rss_users" -ge 0 ] 2>/dev/null || rss_users=$(( users / 5 ))
age=36 days=60 domain=bench.example server=BENCH01 inbox=3
shared=../shared/bench
die() { echo "bench-mailstore: $*" >&2; exit 1; }
[ -f "$shared/gen-maildir.py" ] || die "no $shared/gen-maildir.py (the shared corpus generator) beside the repository"
imap=0
for t in $tools; do
  case "$t" in
    quellix|find|doveadm|imap|imap-floor) ;;
    quellix@[1-9]*|imap@[1-9]*|imap-floor@[1-9]*)
      [ -z "${t#*@}" ] || [ "${t#*@}" -ge 1 ] 2>/dev/null || die "no tool '$t': N of @N is a number" ;;
    *) die "no tool '$t' (quellix find doveadm imap imap-floor, quellix@N imap@N imap-floor@N)" ;;
  esac
  case "${t%@*}" in imap|imap-floor) imap=1 ;; esac
done
for tool in doveadm dovecot find python3; do
  command -v "$tool" >/dev/null || die "$tool is not installed (scripts/install-deps.sh)"
done
[ "$(id -u)" = 0 ] || die "run as root: the corpus belongs to the mail account and Dovecot's auth runs as root"

build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/release ]; then
    launcher=()
    if command -v ccache >/dev/null; then
      launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake --preset release "${launcher[@]}" >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
fi
cmake --build "$build" -j "${JOBS:-2}" --target quellix-host Quellix quellix-admin sink_bench >/dev/null ||
  die "the build of $build failed (run: cmake --build $build --target quellix-host Quellix quellix-admin sink_bench)"
host=$(realpath "$build/tools/quellix-host") module=$(realpath "$build/sink/Quellix.so")
admin=$(realpath "$build/tools/quellix-admin") bench=$(realpath "$build/sink/sink_bench")

work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/quellix-bench-mailstore.XXXXXX")}
mkdir -p "$work"
work=$(realpath "$work")
chmod 755 "$work"  # the mail account (Dovecot's mail processes) walks through it
dovecot_pids=()
cleanup() {
  local pid
  for pid in "${dovecot_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "$keep" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

# A private Dovecot (auth and its user list only: no protocols) for config $1,
# stopped when the script ends.
start_dovecot() {
  local conf=$1 base; base=$(sed -n 's/^base_dir = //p' "$conf")
  dovecot -c "$conf" || die "dovecot -c $conf did not start (see $base/dovecot.log)"
  local i
  for i in $(seq 1 100); do
    [ -S "$base/auth-userdb" ] && [ -f "$base/master.pid" ] && break
    sleep 0.1
  done
  [ -S "$base/auth-userdb" ] || die "dovecot -c $conf: no $base/auth-userdb after 10 s (see $base/dovecot.log)"
  dovecot_pids+=("$(cat "$base/master.pid")")
}
stop_dovecot() {
  local pid=${dovecot_pids[-1]}
  kill "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  unset 'dovecot_pids[-1]'
}

# A corpus of $2 users under $1: messages, Dovecot's index of each folder,
# and the sorted received times of its Junk messages (what a cutoff expires).
make_corpus() {
  local root=$1 n=$2
  python3 "$shared/gen-maildir.py" --root "$root" --users "$n" --messages "$messages" \
    --inbox "$inbox" --size 3000 --days "$days" --seed 1 --now "$now" >/dev/null
  start_dovecot "$root/dovecot.conf"
  doveadm -c "$root/dovecot.conf" force-resync -A '*' ||
    die "doveadm force-resync over $root failed (see $root/run/dovecot.log)"
  stop_dovecot
  find "$root/home" -path '*/.Junk/cur/*' -type f -printf '%T@\n' | sed 's/\..*//' | sort -n \
    > "$root.junk-times"
}

# The item store, directory and registration of a run over the copy at
# $work/run of a corpus of $2 users, kept in $1: what every round starts
# from. Made where the rounds run it ($work/qrun: the configuration names its
# folders), then put aside. The namespace is mapped to the Maildirs; the
# same state with the namespace mapped to the private Dovecot over IMAP is
# kept in $1-imap (the port is written in as each round starts:
# imap_mapping).
make_state() {
  local dir=$1 n=$2 q=$work/qrun
  rm -rf "$q"
  mkdir -p "$q"
  printf '%s\n' "state_dir = $q" "data_dir = $q" "temp_dir = $q/tmp" \
    "server.computer_name = ${server,,}" "server.domain_dns_name = $domain" \
    "mailstore.$domain = maildir:$work/run/home/%n/Maildir" > "$q/platform.conf"
  export QUELLIX_CONFIG=$q/platform.conf
  "$admin" store create-namespace "$domain" >/dev/null
  "$bench" directory --users "$n" --prefix u --digits 5 --server "$server" >/dev/null
  "$bench" registration --age "$age" --folder Junk > "$q/item"
  "$host" register "$module" >/dev/null
  unset QUELLIX_CONFIG
  rm -rf "$dir" "$dir-imap"
  cp -a "$q" "$dir-imap"
  imap_mapping "$dir-imap/platform.conf"
  mv "$q" "$dir"
}

# The namespace's mapping to the private Dovecot over IMAP, in place of any
# earlier one in configuration $1: each mailbox's login through the master
# user, its password in a file of its own.
imap_mapping() {
  sed -i "/^mailstore\./d" "$1"
  printf '%s\n' "mailstore.$domain = imap://127.0.0.1:$imap_port" "mailstore.$domain.login = %n" \
    "mailstore.$domain.auth = master" "mailstore.$domain.admin = $imap_master" \
    "mailstore.$domain.password_file = $work/imap-password" "mailstore.$domain.starttls = no" >> "$1"
}

# The corpus of $2 users at $1 and its states at $3 (Maildir) and $3-imap
# (IMAP), made unless --reuse finds them.
prepare() {
  if [ "$reuse" = 1 ] && [ -f "$1.junk-times" ] && [ -f "$3/item" ] && [ -f "$3-imap/item" ] &&
     [ "$(wc -l < "$1/users.txt")" = "$2" ]; then
    echo "   reusing $1, $3 and $3-imap"
    return
  fi
  make_corpus "$1" "$2"
  make_state "$3" "$2"
}

# The IMAP side: a free loopback port for the private Dovecot, its master
# user and that user's password (for quellix's configuration and the floor).
imap_master=quellix
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
imap_port=$(free_port)
# With --proxy the clients' port is the proxy's; doveadm's Dovecot is the
# first backend, on a port of its own.
backend_port=$imap_port
if [ "$proxy" = 1 ]; then backend_port=$(free_port); fi
printf '%s\n' "bench-master-secret" > "$work/imap-password"
chmod 600 "$work/imap-password"

now=$(date +%s)
echo "== corpus: $users Maildirs x $messages junk messages of ~3 KB over $days days (+ $inbox Inbox each), age limit $age days"
start=$(date +%s.%N)
prepare "$work/corpus" "$users" "$work/state"
[ "$reuse" = 1 ] || echo "   generated in $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.0f", e - s }') s: $(du -sh "$work/corpus" | cut -f1), $(wc -l < "$work/corpus.junk-times") junk messages"

# doveadm's Dovecot serves the copies at $work/run: the corpus's config with
# its paths moved there, its own sockets outside the copy.
rm -rf "$work/dovecot"  # no sockets or pid of an earlier run
mkdir -p "$work/dovecot/run"
sed "s#$work/corpus/#$work/run/#g" "$work/corpus/passwd" > "$work/dovecot/passwd"
# Dovecot configuration $1 with its run folder (sockets, state, log) at $2.
with_run_dir() {
  sed -e "s#^base_dir = .*#base_dir = $2#" -e "s#^state_dir = .*#state_dir = $2/state#" \
      -e "s#^log_path = .*#log_path = $2/dovecot.log#" "$1"
}
# IMAP on loopback for the corpus's users and the master user; with $1
# "pass", a master login goes on to the users' passdb (a proxy's routing).
imap_auth() {
  printf '%s\n' "protocols = imap" "listen = 127.0.0.1" "disable_plaintext_auth = no" \
    "auth_master_user_separator = *" "passdb {" "  driver = passwd-file" \
    "  args = scheme=PLAIN $work/dovecot/masters" "  master = yes"
  if [ "${1:-}" = pass ]; then echo "  pass = yes"; fi
  echo "}"
}
# The IMAP listener of a private Dovecot: port $1 on loopback, no IMAPS.
imap_listener() {
  printf '%s\n' "service imap-login {" "  inet_listener imap {" "    address = 127.0.0.1" \
    "    port = $1" "  }" "  inet_listener imaps {" "    port = 0" "  }" "}"
}
with_run_dir "$work/corpus/dovecot.conf" "$work/dovecot/run" |
  sed "s#$work/corpus/passwd#$work/dovecot/passwd#g" > "$work/dovecot/dovecot.conf"
grep -q "$work/corpus" "$work/dovecot/dovecot.conf" && die "$work/dovecot/dovecot.conf still names the corpus"
if [ "$imap" = 1 ]; then
  # IMAP on loopback, the master user beside the corpus's users.
  echo "$imap_master:{PLAIN}$(cat "$work/imap-password")::::::" > "$work/dovecot/masters"
  { imap_auth; imap_listener "$backend_port"; } >> "$work/dovecot/dovecot.conf"
fi
start_dovecot "$work/dovecot/dovecot.conf"
if [ "$imap" = 1 ] && [ "$proxy" = 1 ]; then
  # The second backend: the first's configuration on its own port and run
  # folder. The proxy: the master user checked here, then the user's entry,
  # which sends the login on to its backend as the master user.
  second_port=$(free_port)
  mkdir -p "$work/backend2/run" "$work/proxy/run"
  with_run_dir "$work/dovecot/dovecot.conf" "$work/backend2/run" |
    sed "s#port = $backend_port\$#port = $second_port#" > "$work/backend2/dovecot.conf"
  awk -v a="$backend_port" -v b="$second_port" -v m="$imap_master" -v p="$(cat "$work/imap-password")" \
    '{ printf "%s:{PLAIN}unused::::::proxy=y host=127.0.0.1 port=%s master=%s pass=%s\n", $1, (NR % 2) ? a : b, m, p }' \
    "$work/corpus/users.txt" > "$work/proxy/passwd"
  cat > "$work/proxy/dovecot.conf" <<CONF
base_dir = $work/proxy/run
state_dir = $work/proxy/run/state
log_path = $work/proxy/run/dovecot.log
ssl = no
$(imap_auth pass)
passdb {
  driver = passwd-file
  args = scheme=PLAIN $work/proxy/passwd
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=/nonexistent
}
$(imap_listener "$imap_port")
CONF
  start_dovecot "$work/backend2/dovecot.conf"
  start_dovecot "$work/proxy/dovecot.conf"
fi

field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
expired() { awk -v c="$2" '$1 <= c { n++ } END { print n + 0 }' "$1.junk-times"; }

# Checks copy $1 of corpus $2 (of $3 users) after a run with cutoff $4: every
# Junk message received at or before it is gone, no other, every Inbox
# message is there. A run's own cutoff is only known to the second its log
# shows, so for quellix the second after it is taken too when that is the
# one that fits. Prints the count removed.
check() {
  local copy=$1 corpus=$2 n=$3 cutoff=$4 slack=${5:-0}
  local total left oldest inboxes c
  total=$(wc -l < "$corpus.junk-times")
  left=$(find "$copy/home" -path '*/.Junk/cur/*' -type f | wc -l)
  oldest=$(find "$copy/home" -path '*/.Junk/cur/*' -type f -printf '%T@\n' | sed 's/\..*//' |
           sort -n | head -1)
  inboxes=$(find "$copy/home" -path '*/Maildir/cur/*' -type f | wc -l)
  [ "$inboxes" = $(( n * inbox )) ] ||
    die "$copy: $inboxes Inbox messages left of $(( n * inbox ))"
  for c in $(seq "$cutoff" $(( cutoff + slack ))); do
    if [ $(( total - left )) = "$(expired "$corpus" "$c")" ] && { [ -z "$oldest" ] || [ "$oldest" -gt "$c" ]; }; then
      echo $(( total - left ))
      return
    fi
  done
  die "$copy: $(( total - left )) Junk messages removed, $(expired "$corpus" "$cutoff") expired at $(date -u -d "@$cutoff" +%FT%TZ); the oldest left was received at ${oldest:-none}"
}

fresh() {  # a copy of corpus $1 at $work/run and of state $2 at $work/qrun, written out
  rm -rf "$work/run" "$work/qrun"
  cp -a "$1" "$work/run"
  [ -z "${2:-}" ] || cp -a "$2" "$work/qrun"
  sync
}

# Checks after a whole run: its cutoff from its log (printed), no error
# logged, every one of $1 mailboxes processed.
run_cutoff() {
  local log=$work/qrun/tmp/Quellix.LOG started
  started=$(grep -a '^Started at: ' "$log" | tail -1 | sed 's/^Started at: //; s/\r$//')
  [ -n "$started" ] || die "no 'Started at' in $log"
  if grep -aqi 'error' "$log"; then
    die "the run logged an error: $(grep -ai error "$log" | head -3)"
  fi
  grep -aq "^Mailboxes processed: $1"$'\r'"\?\$" "$log" ||
    die "the run did not process $1 mailboxes: $(grep -a '^Mailboxes processed' "$log")"
  echo $(( $(date -d "$started" +%s) - age * 86400 ))
}

# One run of tool $1 on a fresh copy of corpus $2 ($3 users) with state $4:
# "seconds=.. cpu_seconds=.. write_bytes=.. peak_rss_kib=.. exit=.. removed=..".
run_tool() {
  local t=${1%@*} at= corpus=$2 n=$3 state=$4 out cutoff
  case "$1" in *@*) at=${1#*@} ;; esac
  case "$t" in
    quellix|imap)
      if [ "$t" = imap ]; then
        fresh "$corpus" "$state-imap"
        imap_mapping "$work/qrun/platform.conf"
      else
        fresh "$corpus" "$state"
      fi
      [ -z "$at" ] || echo "run.workers = $at" >> "$work/qrun/platform.conf"
      out=$(QUELLIX_CONFIG=$work/qrun/platform.conf "$bench" measure "$host" ontimer "$(cat "$work/qrun/item")") ||
        die "quellix-host ontimer ($t) failed: $out (log: $work/qrun/tmp/Quellix.LOG)"
      cutoff=$(run_cutoff "$n")
      out="$out removed=$(check "$work/run" "$corpus" "$n" "$cutoff" 1)"
      ;;
    imap-floor)
      fresh "$corpus"
      cutoff=$(( $(date +%s) - age * 86400 ))
      # OLDER is counted from the server's clock when the search runs: the
      # second after the cutoff may be taken too. The floor's own count
      # line goes, the measurement's is the last.
      out=$("$bench" measure "${PYTHON:-/usr/bin/python3}" scripts/bench-imap-floor.py --port "$imap_port" \
              --users-file "$corpus/users.txt" --master "$imap_master" \
              --password-file "$work/imap-password" --folder Junk --cutoff "$cutoff" \
              --connections "${at:-1}" | tail -1) ||
        die "bench-imap-floor.py failed: $out (see $work/dovecot/run/dovecot.log)"
      out="$out removed=$(check "$work/run" "$corpus" "$n" "$cutoff" 1)"
      ;;
    find)
      fresh "$corpus"
      cutoff=$(( $(date +%s) - age * 86400 ))
      out=$("$bench" measure "$(command -v find)" "$work/run/home" -path '*/.Junk/cur/*' -type f \
              ! -newermt "@$cutoff" -delete) || die "find -delete failed: $out"
      out="$out removed=$(check "$work/run" "$corpus" "$n" "$cutoff")"
      ;;
    doveadm)
      fresh "$corpus"
      cutoff=$(( $(date +%s) - age * 86400 ))
      # "before" a UNIX time is to the second and excludes that second.
      out=$("$bench" measure "$(command -v doveadm)" -c "$work/dovecot/dovecot.conf" expunge -A \
              mailbox Junk before $(( cutoff + 1 ))) ||
        die "doveadm expunge failed: $out (see $work/dovecot/run/dovecot.log)"
      out="$out removed=$(check "$work/run" "$corpus" "$n" "$cutoff")"
      ;;
  esac
  echo "$out"
}

load_before=$(uptime | sed 's/.*load average: //')
echo "== load before: $load_before"
declare -A results
for r in $(seq 1 "$rounds"); do
  for t in $tools; do
    line=$(run_tool "$t" "$work/corpus" "$users" "$work/state")
    printf 'round %d %-8s %s\n' "$r" "$t" "$line"
    results[$t]+="$line"$'\n'
  done
done
load_after=$(uptime | sed 's/.*load average: //')
echo "== load after:  $load_after"

median() {  # tool key -> median of that figure over the rounds
  printf '%s' "${results[$1]}" | tr ' ' '\n' | sed -n "s/^$2=//p" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
has() { case " $tools " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
floor_of() {
  case "${1%@*}" in
    imap|imap-floor)
      if [ "$1" != "${1#*@}" ] && has "imap-floor@${1#*@}"; then echo "imap-floor@${1#*@}"; else echo imap-floor; fi ;;
    *) echo find ;;
  esac
}
any=${tools%% *}
echo
echo "Medians of $rounds interleaved rounds, $users Maildirs x $messages Junk messages ($(( users * messages )) messages, $(median "$any" removed) expired); load average $load_before before, $load_after after."
echo
echo "| tool | wall s | CPU s | written MB | peak RSS MB | removed | wall / floor | CPU / floor | written / floor | RSS / floor |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for t in $tools; do
  w=$(median "$t" seconds) c=$(median "$t" cpu_seconds) b=$(median "$t" write_bytes)
  m=$(median "$t" peak_rss_kib) n=$(median "$t" removed) f=$(floor_of "$t")
  if has "$f"; then
    rw=$(ratio "$w" "$(median "$f" seconds)") rc=$(ratio "$c" "$(median "$f" cpu_seconds)")
    rb=$(ratio "$b" "$(median "$f" write_bytes)") rm=$(ratio "$m" "$(median "$f" peak_rss_kib)")
  else
    rw=- rc=- rb=- rm=-
  fi
  case "${t%@*}" in
    quellix) name="quellix-host ontimer (Maildir" ;;
    find) name="find -delete (Maildir floor" ;;
    doveadm) name="doveadm expunge -A (" ;;
    imap) name="quellix-host ontimer (IMAP, Dovecot" ;;
    imap-floor) name="bench-imap-floor.py (IMAP floor" ;;
  esac
  case "$proxy:${t%@*}" in 1:imap|1:imap-floor) name="$name through the proxy" ;; esac
  case "$t" in
    imap-floor@*) name="$name, ${t#*@} connections)" ;;
    *@*) name="$name, ${t#*@} workers)" ;;
    doveadm) name="doveadm expunge -A" ;;
    *) name="$name)" ;;
  esac
  awk -v t="$name" -v w="$w" -v c="$c" -v b="$b" -v m="$m" -v n="$n" \
      -v rw="$rw" -v rc="$rc" -v rb="$rb" -v rm="$rm" \
    'BEGIN { printf "| %s | %.2f | %.2f | %.1f | %.1f | %d | %s | %s | %s | %s |\n", t, w, c, b / 1e6, m / 1024, n, rw, rc, rb, rm }'
done
echo
goal() {  # name, numerator tool, denominator tool, at-most|at-least, bound
  has "$2" && has "$3" || return 0
  awk -v name="$1" -v a="$(median "$2" seconds)" -v b="$(median "$3" seconds)" -v how="$4" -v g="$5" 'BEGIN {
    r = a / b; ok = (how == "at-most") ? r <= g : r >= g
    printf "%s = %.2f (goal %s %.2f: %s)\n", name, r, (how == "at-most") ? "<=" : ">=", g, ok ? "met" : "MISSED" }'
}
goal "quellix / find" quellix find at-most 1.3
goal "doveadm / quellix" doveadm quellix at-least 2
goal "imap / imap-floor" imap imap-floor at-most 1.3
for t in $tools; do
  case "$t" in
    quellix@*)
      goal "$t / find" "$t" find at-most 1.0
      goal "doveadm / $t" doveadm "$t" at-least 3 ;;
    imap@*)
      goal "$t / imap-floor@${t#*@}" "$t" "imap-floor@${t#*@}" at-most 1.3
      # N workers at least 0.7 N times as fast as one.
      goal "imap@1 / $t" imap@1 "$t" at-least "$(awk -v n="${t#*@}" 'BEGIN { print 0.7 * n }')" ;;
  esac
done

if [ "$rss_users" -gt 0 ] && has quellix; then
  stop_dovecot  # its paths are the full corpus's copies
  prepare "$work/small" "$rss_users" "$work/small-state"
  small=$(run_tool quellix "$work/small" "$rss_users" "$work/small-state")
  echo "quellix peak RSS: $(awk -v m="$(field "$small" peak_rss_kib)" 'BEGIN { printf "%.1f", m / 1024 }') MB over $rss_users Maildirs ($(( rss_users * messages )) messages), $(awk -v m="$(median quellix peak_rss_kib)" 'BEGIN { printf "%.1f", m / 1024 }') MB over $users ($(( users * messages )) messages): ratio $(ratio "$(median quellix peak_rss_kib)" "$(field "$small" peak_rss_kib)")"
fi
