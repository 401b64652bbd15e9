#!/bin/sh
# The demo command on a fresh state folder: a real run that deletes (or with
# --move moves) the expired junk of the two marked mailboxes and reports it.
# With --dovecot the users' mailboxes are a private Dovecot's Maildirs (the
# demo's own set-up, scripts/demo-dovecot.sh), and what is left is read back
# through Dovecot.
#   usage: demo_test.sh QUELLIX-DEMO [--move | --service | --dovecot]
set -eu
demo=$1
shift
dovecot=
if [ "${1:-}" = --dovecot ]; then dovecot=yes; shift; fi
dir=$(mktemp -d /tmp/quellix-demo-test.XXXXXX)
account=
trap 'rm -rf "$dir"; if [ -n "$account" ]; then userdel -f "$account"; fi' EXIT
printf 'state_dir = %s\nserver.computer_name = exch01\nserver.domain_dns_name = example.org\n' \
  "$dir" > "$dir/platform.conf"
if [ "${1:-}" = --service ] && [ "$(id -u)" = 0 ]; then
  # Fired by the event service as root: the application runs as a service
  # account of its own, on the layout of the README (state root's, data the
  # account's), which root's demo then fills without a change of owners.
  account=qxdemo$$
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
    --shell /usr/sbin/nologin "$account"
  chmod 0755 "$dir"
  install -d -o "$account" -g "$account" -m 0750 "$dir/data"
  set -- "$@" --identity "$account"
else
  printf 'data_dir = %s\n' "$dir" >> "$dir/platform.conf"
fi
if [ -n "$dovecot" ]; then
  if [ ! -x /usr/sbin/dovecot ]; then echo "dovecot is not installed: skipped"; exit 0; fi
  state=$dir
  . "$QUELLIX_SOURCE_DIR/scripts/demo-dovecot.sh"
  dovecot_start example.org ann bob carla dieter archive > /dev/null
  trap 'doveadm -c "$dovecot_conf" stop >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
  for alias in ann bob carla dieter; do
    dovecot_make_mailbox "$alias@example.org" INBOX Spam Spam.Older
  done
  dovecot_make_mailbox archive@example.org INBOX
  echo "mailstore.example.org = maildir:$dir/mail/%d/%n/Maildir" >> "$dir/platform.conf"
fi
QUELLIX_CONFIG="$dir/platform.conf" "$demo" "$@" > "$dir/out.txt"
if [ -n "$dovecot" ]; then
  # Dovecot's own view: 5 of ann's 10 Spam messages and 1 of 3 in Spam.Older
  # are left; carla's are untouched.
  for want in "ann@example.org Spam 5" "ann@example.org Spam.Older 1" \
              "carla@example.org Spam 10" "carla@example.org Spam.Older 3"; do
    set -- $want
    got=$(doveadm -c "$dovecot_conf" -f tab fetch -u "$1" uid mailbox "$2" | tail -n +2 | wc -l)
    if [ "$got" -ne "$3" ]; then
      echo "Dovecot sees $got messages in $1 $2, not $3"
      cat "$dir/out.txt"
      exit 1
    fi
  done
  set --
fi
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
# The setup program finds the demo server's system mailbox through its system
# attendant and writes the registration there.
if [ -n "${QUELLIX_SETUP:-}" ] && [ -z "${1:-}" ]; then
  export QUELLIX_CONFIG="$dir/platform.conf"
  "$QUELLIX_SETUP" --module "$QUELLIX_MODULE" status > "$dir/status.txt"
  grep -q "System mailbox: SystemMailbox{6A1D}@example.org" "$dir/status.txt" &&
    grep -q "Registration: present" "$dir/status.txt" ||
    { echo "the setup program does not find the registration:"; cat "$dir/status.txt"; exit 1; }
  echo secret | "$QUELLIX_SETUP" --module "$QUELLIX_MODULE" install --identity nobody \
    --password-file - --age 30 > "$dir/install.txt" 2>&1 ||
    { echo "install failed:"; cat "$dir/install.txt"; exit 1; }
  grep -q "Registration written in http://exch01.example.org/exadmin/example.org/mbx/SystemMailbox{6A1D}/" \
    "$dir/install.txt" || { echo "no registration written:"; cat "$dir/install.txt"; exit 1; }
fi
