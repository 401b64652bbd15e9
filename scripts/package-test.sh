#!/usr/bin/env bash
# Tests the packages of build/package (scripts/package.sh) on clean Debian 12
# roots made with mmdebstrap from Debian's mirror, as root:
#  - the packages' own tests (debian/tests, DEP-8), run by autopkgtest, each
#    in a root of its own (autopkgtest's unshare testbed: root's
#    subordinate ids map the root's accounts, and a machine whose root has
#    none is given a range);
#  - an upgrade, unattended, of a server that init made and a run went
#    through, beside a mail server: what init wrote and the administrator
#    changed stays as it is, and the next run goes as before.
#   bash scripts/package-test.sh            (MIRROR=... for another mirror)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=()
for d in build/package/*.deb; do case "$d" in *-dbgsym_*) ;; *) [ -e "$d" ] && debs+=("$d") ;; esac; done
[ "${#debs[@]}" -gt 0 ] || { echo "package-test: no packages in build/package; run scripts/package.sh" >&2; exit 1; }
mirror=${MIRROR:-http://deb.debian.org/debian}
work=$(mktemp -d /tmp/quellix-package-test.XXXXXX)
root=$work/root
cleanup() {
  umount "$root/dev/pts" "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
fail() { echo "package-test: $*" >&2; exit 1; }

echo "== a clean Debian 12 root, as a tarball for every testbed"
# The package lists stay, so that the testbeds' apt resolves dependencies.
mmdebstrap --variant=apt --quiet --skip=cleanup/apt/lists bookworm "$work/root.tar" "$mirror"

echo "== the packages' tests (debian/tests), by autopkgtest"
if ! grep -q '^root:' /etc/subuid 2>/dev/null || ! grep -q '^root:' /etc/subgid 2>/dev/null; then
  # A range far above the ones useradd hands to accounts.
  usermod --add-subuids 1000000000-1000065535 --add-subgids 1000000000-1000065535 root
fi
# autopkgtest copies the source tree into each testbed: debian/ is all the
# tests need.
mkdir -p "$work/source"
cp -a debian "$work/source/"
status=0
autopkgtest --output-dir "$work/autopkgtest" "${debs[@]}" "$work/source/" -- \
  unshare -t "$work/root.tar" || status=$?
# 2: a test was skipped (none may be); anything else but 0 failed.
[ "$status" -eq 0 ] || fail "autopkgtest ended with status $status (see its summary above)"

echo "== an upgrade of a server init made, unattended"
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
# The server beside a mail server, as README's path makes it, with a run
# gone through; then what init wrote, and an owner the administrator
# changed, are taken down, to be compared after the upgrade.
in_root env AUTOPKGTEST_TMP=/tmp/scratch sh -c 'mkdir -p /tmp/scratch && /tmp/tests/mail-server-account'
in_root chown nobody:nogroup /var/lib/quellix/data/pickup
before=$(in_root sh -c 'sha256sum /etc/quellix/platform.conf; stat -c "%n %U:%G %a" /etc/quellix/platform.conf /var/lib/quellix/vmail /var/lib/quellix/data/pickup; quellix-eventd --list')
in_root sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $(installed next) </dev/null >/dev/null"
in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${server[@]}" | tee "$work/upgraded.txt"
[ "$(grep -c " $next install ok installed$" "$work/upgraded.txt")" -eq "${#server[@]}" ] ||
  fail "the upgrade left a package unconfigured or at its old version"
after=$(in_root sh -c 'sha256sum /etc/quellix/platform.conf; stat -c "%n %U:%G %a" /etc/quellix/platform.conf /var/lib/quellix/vmail /var/lib/quellix/data/pickup; quellix-eventd --list')
[ "$before" = "$after" ] ||
  fail "the upgrade changed what init wrote or the administrator changed:$(diff <(echo "$before") <(echo "$after"))"
# The next run after the upgrade goes as vmail, as before it.
cat > "$root/tmp/after-upgrade" <<'SH'
set -eu
. /tmp/tests/common.sh
write_users_ldif
spam=/var/vmail/example.org/ann/Maildir/.Spam
install -o vmail -g vmail -m 0600 "$scratch/junk.eml" "$spam/cur/1577836801.M2P1.mail01:2,S"
touch -d 2020-01-01T00:00:00Z "$spam/cur/1577836801.M2P1.mail01:2,S"
quellix-admin check
# The registration the upgrade kept, its start moved to the next minute.
at=$(next_minute)
quellix-setup --module /usr/lib/quellix/Quellix.so configure --start "$(time_of_day "$at")" >/dev/null
fire "$at"
grep -q "deleted: 1" "$scratch/history.txt" || fail "the run after the upgrade deleted nothing"
[ -z "$(ls -A "$spam/cur")" ] || fail "the expired message is still in ann's Maildir"
SH
in_root env AUTOPKGTEST_TMP=/tmp/scratch sh /tmp/after-upgrade
echo "package-test: the packages' tests passed, and an initialised server survived an upgrade"
