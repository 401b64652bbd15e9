#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the packaging and
# the demo need (with --demo: only what the demo needs).
# Safe to run again: packages already present are left alone, and apt-get runs
# only when something is missing.
set -euo pipefail

# What building the programs and running the demo needs (scripts/demo.sh
# installs only these: no Qt, no test servers, no clang).
demo_packages=(
  build-essential cmake pkg-config ninja-build libgtest-dev
  libsqlite3-dev libldb-dev libtalloc-dev libldap-dev libsasl2-dev
  libgmime-3.0-dev libcurl4-openssl-dev tzdata
)
# Everything else: the window, the tests' servers, sanitizers, fuzzing,
# clang-tidy, the benchmarks and the Debian packaging.
all_packages=(
  "${demo_packages[@]}"
  libgmock-dev libbenchmark-dev sqlite3 ldb-tools
  slapd ldap-utils
  python3 python3-aiosmtpd python3-prometheus-client openssl
  qt6-base-dev libgl-dev fontconfig fonts-dejavu-core fonts-liberation2 xvfb xauth
  clang libclang-rt-14-dev clang-format clang-tidy
  debhelper fakeroot lintian help2man mmdebstrap
  dovecot-core   # doveadm, beside which scripts/bench-run.sh --doveadm times a run
)

case "${1:-}" in
  --demo) packages=("${demo_packages[@]}") ;;
  "") packages=("${all_packages[@]}") ;;
  *) echo "usage: install-deps.sh [--demo]" >&2; exit 2 ;;
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
  # slapd must not start a system-wide server: the tests start their own.
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  # Nor a system-wide Dovecot: the benchmark runs doveadm on its own configuration.
  for service in slapd dovecot; do
    if command -v systemctl >/dev/null 2>&1; then "${sudo_cmd[@]}" systemctl stop "$service" 2>/dev/null || true; fi
    "${sudo_cmd[@]}" service "$service" stop >/dev/null 2>&1 || true
  done
fi
