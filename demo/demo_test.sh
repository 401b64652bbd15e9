#!/bin/sh
# The demo command on a fresh state folder: a real run that deletes (or with
# --move moves) the expired junk of the two marked mailboxes and reports it.
#   usage: demo_test.sh QUELLIX-DEMO [--move]
set -eu
demo=$1
shift
dir=$(mktemp -d /tmp/quellix-demo-test.XXXXXX)
trap 'rm -rf "$dir"' EXIT
printf 'state_dir = %s\nserver.computer_name = exch01\nserver.domain_dns_name = example.org\ntemp_dir = %s/tmp\n' \
  "$dir" "$dir" > "$dir/platform.conf"
QUELLIX_CONFIG="$dir/platform.conf" "$demo" "$@" > "$dir/out.txt"
verb=deleted
case "${1:-}" in --move) verb="moved" ;; esac
for want in "Mailbox: Ann Arbor" "Mailbox: Bob Baker" "7 messages has been $verb" \
            "Mailboxes processed: 2" "Subject: Quellix Report " "filename=Quellix.LOG" \
            "Run 1: completed" "$verb: 14" "14.1 days  expired"; do
  if ! grep -q "$want" "$dir/out.txt"; then
    echo "missing: $want"
    cat "$dir/out.txt"
    exit 1
  fi
done
if grep -q "Mailbox: Carla" "$dir/out.txt"; then echo "an unmarked mailbox was treated"; exit 1; fi
