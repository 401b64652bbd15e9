#!/usr/bin/env bash
# Tests the packages of build/package (scripts/package.sh) on clean Debian 12
# roots made with mmdebstrap from Debian's mirror, as root:
#  - the packages' own tests (debian/tests, DEP-8), run by autopkgtest, each
#    in a root of its own (autopkgtest's unshare testbed: root's
#    subordinate ids map the root's accounts, and a machine whose root has
#    none is given a range);
#  - an upgrade, unattended, of a server that init made and a run went
#    through, beside Dovecot and OpenLDAP (the ldap-mail-server test): what
#    init wrote and the administrator changed stays as it is, and the next
#    run goes as before.
#   bash scripts/package-test.sh            (MIRROR=... for another mirror)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=()
for d in build/package/*.deb; do case "$d" in *-dbgsym_*) ;; *) [ -e "$d" ] && debs+=("$d") ;; esac; done
[ "${#debs[@]}" -gt 0 ] || { echo "package-test: no packages in build/package; run scripts/package.sh" >&2; exit 1; }
mirror=${MIRROR:-http://deb.debian.org/debian}
work=$(mktemp -d /tmp/quellix-package-test.XXXXXX)
root=$work/root
upgrade_pid=""
cleanup() {
  [ -z "$upgrade_pid" ] || kill "$upgrade_pid" 2>/dev/null || true
  # What still runs in the upgrade's root (its servers, when it failed).
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill "${p#/proc/}" 2>/dev/null || true
  done
  umount "$root/dev/pts" "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
fail() { echo "package-test: $*" >&2; exit 1; }

echo "== a clean Debian 12 root, as a tarball for every testbed"
# The package lists stay, so that the testbeds' apt resolves dependencies.
mmdebstrap --variant=apt --quiet --skip=cleanup/apt/lists bookworm "$work/root.tar" "$mirror"

# An upgrade of a server init made, unattended, in a root of its own; it
# runs beside autopkgtest (both wait mostly on the mirror and the timers).
upgrade_test() {
  mkdir -p "$root"
  tar -xf "$work/root.tar" -C "$root"
  mount -t proc proc "$root/proc"
  mount -t devpts devpts "$root/dev/pts" 2>/dev/null || true
  in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
  mkdir -p "$root/tmp/debs" "$root/tmp/next" "$root/tmp/tests"
  cp "${debs[@]}" "$root/tmp/debs/"
  cp -a debian/tests/. "$root/tmp/tests/"
  # The packages of this tree as the next version: the same files under a
  # higher version, and depending on each other at that version.
  version=$(dpkg-deb -f "${debs[0]}" Version)
  next="$version+upgrade1"
  for d in "${debs[@]}"; do
    unpacked=$work/unpacked
    rm -rf "$unpacked"
    dpkg-deb -R "$d" "$unpacked"
    sed -i -e "s/^Version: .*/Version: $next/" -e "s/(= $version)/(= $next)/g" "$unpacked/DEBIAN/control"
    dpkg-deb -b "$unpacked" "$root/tmp/next/" >/dev/null
  done
  server=()
  for p in tools sink eventd setup; do server+=("quellix-$p"); done
  # The server's packages in /tmp/$1 of the root.
  installed() { for p in "${server[@]}"; do printf '/tmp/%s/%s_*.deb ' "$1" "$p"; done; }
  in_root sh -c "apt-get install -y -q --no-install-recommends $(installed debs) >/dev/null"
  # The server beside Dovecot and OpenLDAP, as README's path makes it, with a
  # run gone through; then what init wrote, and an owner the administrator
  # changed, are taken down, to be compared after the upgrade.
  in_root env AUTOPKGTEST_TMP=/tmp/scratch sh -c 'mkdir -p /tmp/scratch && /tmp/tests/ldap-mail-server'
  in_root chown nobody:nogroup /var/lib/quellix/data/pickup
  before=$(in_root sh -c 'sha256sum /etc/quellix/platform.conf; stat -c "%n %U:%G %a" /etc/quellix/platform.conf /var/lib/quellix/vmail /var/lib/quellix/data/pickup; quellix-eventd --list')
  in_root sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $(installed next) </dev/null >/dev/null"
  in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${server[@]}" | tee "$work/upgraded.txt"
  [ "$(grep -c " $next install ok installed$" "$work/upgraded.txt")" -eq "${#server[@]}" ] ||
    fail "the upgrade left a package unconfigured or at its old version"
  after=$(in_root sh -c 'sha256sum /etc/quellix/platform.conf; stat -c "%n %U:%G %a" /etc/quellix/platform.conf /var/lib/quellix/vmail /var/lib/quellix/data/pickup; quellix-eventd --list')
  [ "$before" = "$after" ] ||
    fail "the upgrade changed what init wrote or the administrator changed:$(diff <(echo "$before") <(echo "$after"))"
  # The next run after the upgrade goes as vmail, as before it, with slapd,
  # Dovecot and the receiving SMTP server started again (on the ports the
  # configuration names).
  cat > "$root/tmp/after-upgrade" <<'SH'
set -eu
. /tmp/tests/common.sh
conf=/etc/quellix/platform.conf
trap 'kill "$(cat /run/slapd/slapd.pid)" ${smtp_pid:-} 2>/dev/null || true; dovecot stop || true' EXIT
start_slapd "$(sed -n 's/^directory = //p' $conf)"
dovecot
rm -f "$scratch/received.txt"
start_smtp_sink "$(sed -n 's|^mail.transport = smtp://127.0.0.1:||p' $conf)"
save_junk ann@example.org ann-older "older junk" 60
quellix-admin check
# The registration the upgrade kept, its start moved to the next minute.
at=$(next_minute)
quellix-setup --module /usr/lib/quellix/Quellix.so configure --start "$(time_of_day "$at")" >/dev/null
fire "$at"
grep -q "deleted: 1" "$scratch/history.txt" || fail "the run after the upgrade deleted nothing"
left=$(doveadm fetch -u ann@example.org hdr.message-id mailbox Junk all | grep -io '<[^>]*>' | tr '\n' ' ')
[ "$left" = "<ann-new@b.example> " ] || fail "ann's Junk holds '$left' after the run"
report_arrived postmaster@example.org || fail "the report after the upgrade did not arrive"
SH
  in_root env AUTOPKGTEST_TMP=/tmp/scratch sh /tmp/after-upgrade
}

echo "== the packages' tests (debian/tests), by autopkgtest"
if ! grep -q '^root:' /etc/subuid 2>/dev/null || ! grep -q '^root:' /etc/subgid 2>/dev/null; then
  # A range far above the ones useradd hands to accounts.
  usermod --add-subuids 1000000000-1000065535 --add-subgids 1000000000-1000065535 root
fi
# autopkgtest copies the source tree into each testbed: debian/ is all the
# tests need.
mkdir -p "$work/source"
cp -a debian "$work/source/"
echo "== an upgrade of a server init made, unattended (beside autopkgtest; its output follows)"
upgrade_test > "$work/upgrade.log" 2>&1 &
upgrade_pid=$!
status=0
autopkgtest --output-dir "$work/autopkgtest" "${debs[@]}" "$work/source/" -- \
  unshare -t "$work/root.tar" || status=$?
upgrade_status=0
wait "$upgrade_pid" || upgrade_status=$?
upgrade_pid=""
echo "== the upgrade"
cat "$work/upgrade.log"
# 2: a test was skipped (none may be); anything else but 0 failed.
[ "$status" -eq 0 ] || fail "autopkgtest ended with status $status (see its summary above)"
[ "$upgrade_status" -eq 0 ] || fail "the upgrade test failed (see its output above)"

echo "package-test: the packages' tests passed, and an initialised server survived an upgrade"
