#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the packaging and
# the demo need (with --demo: only what the demo needs; --demo-dovecot: that
# and Dovecot, for the demo on a mail server's Maildirs; --package: only what
# building the Debian packages needs, debian/control's Build-Depends).
# Safe to run again: packages already present are left alone, and apt-get runs
# only when something is missing. A server it installs (slapd, Dovecot) is
# stopped, since the tests start their own; one that was there before is
# never touched, so this may run on a mail server.
set -euo pipefail

# What building the programs and running the demo needs (scripts/demo.sh
# installs only these: no Qt, no test servers, no clang). curl is GnuTLS's
# build: Debian's libetpan-dev (the IMAP backend) depends on that one, and
# the OpenSSL build's development files conflict with it. SASL PLAIN (the
# IMAP login) is a plug-in of libsasl2-modules, which no package pulls in
# without recommends.
demo_packages=(
  build-essential cmake pkg-config ninja-build libgtest-dev
  libsqlite3-dev libldb-dev libtalloc-dev libldap-dev libsasl2-dev
  libgmime-3.0-dev libcurl4-gnutls-dev libetpan-dev libgnutls28-dev libsasl2-modules
  tzdata
)
# Everything else: the window, the tests' servers, a FUSE file system that
# refuses rename flags as NFS does (bindfs), sanitizers, fuzzing, clang-tidy,
# LLVM's linker for the checking builds, the benchmarks and the Debian
# packaging.
all_packages=(
  "${demo_packages[@]}"
  libgmock-dev libbenchmark-dev sqlite3 ldb-tools
  slapd ldap-utils dovecot-core dovecot-imapd dovecot-ldap cyrus-common sasl2-bin bindfs
  python3 python3-aiosmtpd python3-prometheus-client openssl msmtp
  qt6-base-dev libgl-dev fontconfig fonts-dejavu-core fonts-liberation2 xvfb xauth
  clang libclang-rt-14-dev clang-format clang-tidy lld
  debhelper fakeroot lintian mmdebstrap autopkgtest uidmap
)

# debian/control's Build-Depends, without versions; debhelper-compat is
# debhelper's.
build_depends() {
  awk '/^Build-Depends:/ { on = 1; sub(/^Build-Depends:/, ""); print; next }
       on && /^[ \t]/ { print; next }
       { on = 0 }' "$(dirname "$0")/../debian/control" |
    tr ',' '\n' | sed -e 's/([^)]*)//g' -e 's/|.*//' -e 's/[[:space:]]//g' -e '/^$/d' \
      -e 's/^debhelper-compat$/debhelper/'
}

case "${1:-}" in
  --demo) packages=("${demo_packages[@]}") ;;
  --demo-dovecot) packages=("${demo_packages[@]}" dovecot-core dovecot-imapd python3) ;;
  --package) mapfile -t packages < <(build_depends); packages+=(dpkg-dev fakeroot lintian) ;;
  "") packages=("${all_packages[@]}") ;;
  *) echo "usage: install-deps.sh [--demo | --demo-dovecot | --package]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  # slapd and dovecot must not run system-wide servers: the tests start their own.
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  # Only a server whose package this installed: one that ran before is the
  # machine's own.
  for pair in slapd:slapd dovecot-core:dovecot; do
    case " ${missing[*]} " in *" ${pair%%:*} "*) ;; *) continue ;; esac
    server=${pair#*:}
    if command -v systemctl >/dev/null 2>&1; then "${sudo_cmd[@]}" systemctl stop "$server" 2>/dev/null || true; fi
    "${sudo_cmd[@]}" service "$server" stop >/dev/null 2>&1 || true
  done
fi

# Cyrus's IMAP server, a second server for the IMAP store's tests, cannot be
# installed beside Dovecot's (both packages provide imap-server): its one
# program is taken out of the package into a folder of the tests' own, and
# runs with cyrus-common's master and libraries.
cyrus_dir=/opt/quellix-test/cyrus-imapd
if [ -z "${1:-}" ] && [ ! -x "$cyrus_dir/usr/lib/cyrus/bin/imapd" ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  download=$(mktemp -d)
  chmod 755 "$download"
  version=$(dpkg-query -W -f='${Version}' cyrus-common)
  (cd "$download" && apt-get download -q "cyrus-imapd=$version" >/dev/null 2>&1) || {
    echo "install-deps: could not download cyrus-imapd $version; the Cyrus tests will be skipped" >&2
  }
  for deb in "$download"/cyrus-imapd_*.deb; do
    [ -e "$deb" ] || continue
    "${sudo_cmd[@]}" mkdir -p "$cyrus_dir"
    "${sudo_cmd[@]}" dpkg -x "$deb" "$cyrus_dir"
  done
  rm -rf "$download"
fi
