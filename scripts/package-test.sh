#!/usr/bin/env bash
# Installs the packages of build/package (scripts/package.sh) into a clean
# Debian 12 root made with mmdebstrap from Debian's mirror (as root: it
# mounts /proc and /dev/pts in the root), and there runs the administration
# command, the setup command line, the event service's listing and a real
# cleanup run fired by the event service on a server made by 'quellix-admin
# init'; installs the packages again over it, unattended, as an upgrade
# does, and checks that nothing init wrote or the administrator changed is
# touched; installs the window's package and asks the window for its help;
# then purges the packages, first keeping the data folder as an unanswered
# question does, then with the answer changed, and checks that nothing of
# them is left.
#   bash scripts/package-test.sh            (MIRROR=... for another mirror)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=(build/package/*.deb)
[ -e "${debs[0]}" ] || { echo "package-test: no packages in build/package; run scripts/package.sh" >&2; exit 1; }
root=$(mktemp -d /tmp/quellix-package-root.XXXXXX)
trap 'umount "$root/dev/pts" "$root/proc" 2>/dev/null || true; rm -rf --one-file-system "$root"' EXIT
mirror=${MIRROR:-http://deb.debian.org/debian}

echo "== a clean Debian 12 root ($root)"
mmdebstrap --variant=apt --quiet bookworm "$root" "$mirror"
mkdir -p "$root/tmp/debs"
cp build/package/*.deb "$root/tmp/debs/"
for d in "$root"/tmp/debs/*-dbgsym_*.deb; do [ -e "$d" ] && rm -f "$d"; done
mount -t proc proc "$root/proc"
mount -t devpts devpts "$root/dev/pts" 2>/dev/null || true
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "== install (apt resolves the dependencies from the mirror)"
# mmdebstrap leaves the root without package lists.
in_root apt-get update -q >/dev/null
# Everything but the window: a server without a desktop.
server_debs=()
for p in tools sink eventd setup; do
  server_debs+=("/tmp/debs/$(cd "$root/tmp/debs" && ls "quellix-${p}_"*.deb)")
done
in_root apt-get install -y -q --no-install-recommends "${server_debs[@]}" >/dev/null
if in_root dpkg-query -W -f='${Status}\n' libqt6core6 2>/dev/null | grep -q installed; then
  echo "package-test: the server's packages brought Qt in" >&2; exit 1
fi
in_root sh -c 'dpkg-query -W -f="\${Package} \${Status}\n" "quellix*"'
in_root stat -c '%n %U:%G %a' /etc/quellix /etc/quellix/platform.conf /var/lib/quellix \
  /var/lib/quellix/data /var/lib/quellix/data/tmp /var/lib/quellix/data/pickup
[ "$(in_root stat -c '%U:%G %a' /etc/quellix/platform.conf)" = "root:quellix 640" ] ||
  { echo "package-test: /etc/quellix/platform.conf is not root:quellix 0640" >&2; exit 1; }
in_root getent passwd quellix

echo "== the programs"
in_root quellix-admin --help >/dev/null
in_root quellix-setup --help >/dev/null
in_root quellix-eventd --help >/dev/null
in_root man -w quellix-admin >/dev/null 2>&1 || test -e "$root/usr/share/man/man8/quellix-admin.8.gz"
# The system's sendmail (msmtp's, relaying to a receiving SMTP server on
# loopback): init takes it, and the run's report must arrive there.
in_root apt-get install -y -q --no-install-recommends msmtp-mta python3 >/dev/null
printf 'account default\nhost 127.0.0.1\nport 2526\nfrom quellix@example.org\n' > "$root/etc/msmtprc"
cat > "$root/tmp/smtp-sink.py" <<'PY'
# Takes every message and writes it, after its envelope's recipients, to a file.
import asyncore, smtpd, sys
class Sink(smtpd.SMTPServer):
    def process_message(self, peer, mailfrom, rcpttos, data, **kwargs):
        with open(sys.argv[1], "ab") as out:
            out.write(("X-RcptTo: " + ",".join(rcpttos) + "\n").encode() + data + b"\n")
Sink(("127.0.0.1", 2526), None, decode_data=False)
asyncore.loop()
PY
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin python3 -W ignore /tmp/smtp-sink.py \
  /tmp/received.txt > "$root/tmp/smtp-sink.log" 2>&1 &
smtp_pid=$!
trap 'kill $smtp_pid 2>/dev/null || true; umount "$root/dev/pts" "$root/proc" 2>/dev/null || true; rm -rf --one-file-system "$root"' EXIT
in_root quellix-admin init --yes --computer-name exch01 --domain example.org
grep -q '^mail.transport = sendmail$' "$root/etc/quellix/platform.conf" ||
  { echo "package-test: init did not take the system's sendmail" >&2; exit 1; }
in_root quellix-admin check
in_root quellix-eventd --list

echo "== a real run: a marked mailbox with old junk, fired by the event service"
cat > "$root/tmp/users.ldif" <<LDIF
dn: CN=Ann Arbor,CN=Users,DC=example,DC=org
objectClass: top
objectClass: person
objectClass: organizationalPerson
objectClass: user
cn: Ann Arbor
sn: Arbor
objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=org
sAMAccountName: ann
mailNickname: ann
mail: ann@example.org
msExchMailboxGuid: package-test-1
msExchHomeServerName: /o=Org/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=EXCH01
extensionAttribute8: Quellix
LDIF
printf 'From: a@b.example\r\nTo: ann@example.org\r\nSubject: old junk\r\n\r\nbuy\r\n' > "$root/tmp/junk.eml"
in_root quellix-admin directory load /tmp/users.ldif
in_root quellix-admin store create-mailbox example.org ann
in_root quellix-admin store create-folder "file://./backofficestorage/example.org/MBX/ann/Spam"
in_root quellix-admin store import "file://./backofficestorage/example.org/MBX/ann/Spam" /tmp/junk.eml \
  --received 2020-01-01T00:00:00Z >/dev/null
# The password file is the administrator's alone, or setup refuses it.
(umask 077 && printf 'secret\n' > "$root/tmp/password")
# The timer starts at the first whole minute at least 20 s ahead (as the setup program's
# lists give it, in the root's own zone); --once waits for that instant and
# fires what is due then.
at=$(( ($(date -u +%s) + 20) / 60 * 60 + 60 ))
start=$(in_root env LC_ALL=C date -d "@$at" '+%-I:%M %p')
in_root quellix-setup --module /usr/lib/quellix/Quellix.so install --identity quellix \
  --password-file /tmp/password --folder Spam --age 14 --run "Every day" --start "$start" \
  --report-to "postmaster@example.org"
in_root quellix-eventd --list
# Started anywhere, the setup programs take the installed module.
in_root sh -c 'cd /tmp && quellix-setup status' >"$root/tmp/status.txt" || true
grep "Component file" "$root/tmp/status.txt"
grep -q "^Component file: /usr/lib/quellix/Quellix.so$" "$root/tmp/status.txt" ||
  { echo "package-test: quellix-setup does not take the installed module" >&2; exit 1; }
in_root quellix-eventd --once "$(date -u -d "@$at" +%Y-%m-%dT%H:%M:%SZ)"
in_root quellix-setup history --last 1 | tee "$root/tmp/history.txt"
grep -q "completed" "$root/tmp/history.txt"
grep -q "deleted: 1" "$root/tmp/history.txt" || { echo "package-test: the run deleted nothing" >&2; exit 1; }
# The report went through sendmail to the receiving server, to its recipient.
for _ in $(seq 1 20); do grep -q '^Subject: Quellix Report' "$root/tmp/received.txt" && break; sleep 0.5; done
grep -q '^Subject: Quellix Report' "$root/tmp/received.txt" &&
  grep -qi '^X-RcptTo: .*postmaster@example.org' "$root/tmp/received.txt" ||
  { echo "package-test: the report did not arrive through sendmail:" >&2
    cat "$root/tmp/received.txt" "$root/tmp/smtp-sink.log" >&2 2>/dev/null; exit 1; }

echo "== the packages again over an initialised server, unattended"
# As an upgrade runs them: nothing may be asked, and what init wrote and
# the administrator changed (a data folder given to the mail server's
# account) stays as it is.
conf_before=$(in_root sha256sum /etc/quellix/platform.conf)
in_root chown nobody:nogroup /var/lib/quellix/data/pickup
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall \
  --no-install-recommends "${server_debs[@]}" </dev/null >/dev/null
[ "$(in_root sha256sum /etc/quellix/platform.conf)" = "$conf_before" ] ||
  { echo "package-test: the packages changed the configuration init wrote" >&2; exit 1; }
[ "$(in_root stat -c %U /var/lib/quellix/data/pickup)" = nobody ] ||
  { echo "package-test: the packages took back a folder the administrator gave away" >&2; exit 1; }
in_root chown quellix:quellix /var/lib/quellix/data/pickup

echo "== beside a mail server: runs as its account (vmail), on its Maildirs"
# As README's path: init gives vmail a data folder of its own and maps the
# domain to the Maildirs; the event service fires the run as vmail, which
# must read the configuration and write its store, history and Maildirs.
in_root quellix-setup --module /usr/lib/quellix/Quellix.so uninstall --yes >/dev/null
in_root adduser --system --group --home /var/vmail --no-create-home vmail >/dev/null
spam=/var/vmail/example.org/ann/Maildir/.Spam
for d in /var/vmail /var/vmail/example.org /var/vmail/example.org/ann \
         /var/vmail/example.org/ann/Maildir "$spam"; do
  in_root install -d -o vmail -g vmail -m 0700 "$d"
done
for d in cur new tmp; do
  in_root install -d -o vmail -g vmail -m 0700 "/var/vmail/example.org/ann/Maildir/$d" "$spam/$d"
done
in_root install -o vmail -g vmail -m 0600 /tmp/junk.eml "$spam/cur/1577836800.M1P1.mail01:2,S"
in_root touch -d 2020-01-01T00:00:00Z "$spam/cur/1577836800.M1P1.mail01:2,S"
in_root quellix-admin init --yes --force --computer-name exch01 --domain example.org \
  --account vmail --data-dir /var/lib/quellix/vmail --mailstore 'maildir:/var/vmail/%d/%n/Maildir'
in_root quellix-admin directory load /tmp/users.ldif >/dev/null
in_root quellix-admin check | tee "$root/tmp/check.txt"
grep -q '^ok  *1 marked mailboxes reached in the store$' "$root/tmp/check.txt" &&
  grep -q '^ok  *account vmail ' "$root/tmp/check.txt" ||
  { echo "package-test: check does not find vmail's Maildir and access" >&2; exit 1; }
(umask 077 && printf 'secret\n' > "$root/tmp/password")
at=$(( ($(date -u +%s) + 20) / 60 * 60 + 60 ))
start=$(in_root env LC_ALL=C date -d "@$at" '+%-I:%M %p')
in_root quellix-setup --module /usr/lib/quellix/Quellix.so install --identity vmail \
  --password-file /tmp/password --folder Spam --age 14 --run "Every day" --start "$start" \
  --report-to "postmaster@example.org" >/dev/null
in_root quellix-eventd --once "$(date -u -d "@$at" +%Y-%m-%dT%H:%M:%SZ)"
in_root quellix-setup history --last 1 | tee "$root/tmp/history.txt"
grep -q "deleted: 1" "$root/tmp/history.txt" ||
  { echo "package-test: the run as vmail deleted nothing" >&2; exit 1; }
[ -z "$(in_root ls -A "$spam/cur")" ] ||
  { echo "package-test: the expired message is still in ann's Maildir" >&2; exit 1; }
[ "$(in_root stat -c %U /var/lib/quellix/vmail/history.db)" = vmail ] ||
  { echo "package-test: the run's history is not vmail's" >&2; exit 1; }
kill "$smtp_pid" 2>/dev/null || true

echo "== the setup window's package, with Qt"
gui_deb="/tmp/debs/$(cd "$root/tmp/debs" && ls quellix-setup-gui_*.deb)"
in_root apt-get install -y -q --no-install-recommends "$gui_deb" >/dev/null
in_root env QT_QPA_PLATFORM=offscreen QuellixSetup --help >/dev/null

echo "== remove and purge"
# Unanswered, purge keeps the data folder (the store with the archive of
# moved mail, the history) and takes the rest; answered, it takes it too.
in_root apt-get purge -y -q quellix-tools quellix-sink quellix-eventd quellix-setup \
  quellix-setup-gui >/dev/null
in_root test -s /var/lib/quellix/vmail/store.db ||
  { echo "package-test: purge took the store without being asked to" >&2; exit 1; }
kept=$(in_root sh -c 'ls -A /var/lib/quellix; ls -d /etc/quellix 2>/dev/null || true' | tr '\n' ' ')
[ "$kept" = "data vmail " ] ||
  { echo "package-test: purge left other than the data folders: $kept" >&2; exit 1; }
tools_deb="/tmp/debs/$(cd "$root/tmp/debs" && ls quellix-tools_*.deb)"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "$tools_deb" </dev/null >/dev/null
in_root test -s /var/lib/quellix/vmail/store.db ||
  { echo "package-test: installing again lost the kept store" >&2; exit 1; }
echo "quellix-tools quellix-tools/purge_data boolean true" | in_root debconf-set-selections
in_root apt-get purge -y -q quellix-tools >/dev/null
left=$(in_root sh -c 'ls -d /etc/quellix /var/lib/quellix /usr/lib/quellix /usr/share/quellix /usr/bin/quellix-* 2>/dev/null || true')
if [ -n "$left" ]; then echo "package-test: left after purge: $left" >&2; exit 1; fi
if in_root dpkg -l | grep -q '^.. *quellix'; then echo "package-test: a package is left after purge" >&2; exit 1; fi
echo "package-test: installed, ran and purged cleanly"
