#!/usr/bin/env bash
# The main job on the embedded default: builds what the demo runs (the demo
# program, Quellix.so, the component host, the event service and the setup
# command line; no tests, benchmarks or window), makes a demo server in a
# fresh state folder (store, directory, registration item), shows its junk
# folders message by message, lets the event host fire the item's timer so
# that Quellix.so performs a real cleanup run, and shows what is left, the
# run's log and the report message it mailed.
#   bash scripts/demo.sh            expired junk is deleted
#   bash scripts/demo.sh --move     expired junk is moved to an archive Inbox
#   bash scripts/demo.sh --service  the event service fires the timer
#   bash scripts/demo.sh --dovecot  the users' mailboxes are a private Dovecot's
#                                   Maildirs (combines with the others)
set -euo pipefail
cd "$(dirname "$0")/.."
dovecot=no
args=()
for a in "$@"; do
  if [ "$a" = --dovecot ]; then dovecot=yes; else args+=("$a"); fi
done
if [ "$dovecot" = yes ]; then bash scripts/install-deps.sh --demo-dovecot; else bash scripts/install-deps.sh --demo; fi
echo "demo: building the demo's programs (build/demo)"
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)"
bin=build/demo
state=${QUELLIX_DEMO_DIR:-$(mktemp -d /tmp/quellix-demo.XXXXXX)}
mkdir -p "$state"
export QUELLIX_CONFIG="$state/platform.conf"
cat > "$QUELLIX_CONFIG" <<CONF
state_dir = $state
server.computer_name = exch01
server.domain_dns_name = example.org
temp_dir = $state/tmp
CONF
if [ "$dovecot" = yes ]; then
  . scripts/demo-dovecot.sh
  domain=example.org
  users=(ann bob carla dieter archive)
  dovecot_start "$domain" "${users[@]}"
  for alias in "${users[@]}"; do
    if [ "$alias" = archive ]; then dovecot_make_mailbox "$alias@$domain" INBOX
    else dovecot_make_mailbox "$alias@$domain" INBOX Spam Spam.Older; fi
  done
  echo "mailstore.$domain = maildir:$state/mail/%d/%n/Maildir" >> "$QUELLIX_CONFIG"
  "$bin/demo/quellix-demo" "${args[@]}"
  dovecot_show "$domain" "After the run" "${users[@]}"
else
  "$bin/demo/quellix-demo" "${args[@]}"
fi
echo "demo platform in $state (QUELLIX_CONFIG=$QUELLIX_CONFIG)"
