#!/bin/sh
# cmake --install into a scratch prefix given only then: every program, the
# module, the unit starting the service of that prefix and writing what the
# sample configuration names, the schema, the sample configuration, the man
# pages and bash completion.
#   usage: install_test.sh BUILD-DIR
set -eu
build=$1
dir=$(mktemp -d /tmp/quellix-install-test.XXXXXX)
trap 'rm -rf "$dir"' EXIT
prefix=$dir/prefix
cmake --install "$build" --prefix "$prefix" >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; exit 1; }
want="bin/quellix-admin bin/quellix-host bin/quellix-eventd bin/quellix-setup lib/quellix/Quellix.so
  lib/systemd/system/quellix-eventd.service share/quellix/platform.conf.sample
  share/quellix/schema/quellix.schema share/bash-completion/completions/quellix-admin
  share/bash-completion/completions/quellix-setup share/man/man5/platform.conf.5
  share/man/man8/quellix-admin.8 share/man/man8/quellix-setup.8 share/man/man8/quellix-eventd.8
  share/man/man8/quellix-host.8"
grep -q '^QUELLIX_WINDOWS:BOOL=ON' "$build/CMakeCache.txt" &&
  want="$want bin/QuellixSetup share/man/man1/QuellixSetup.1"
for f in $want; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
unit=$prefix/lib/systemd/system/quellix-eventd.service
grep -qx "ExecStart=$prefix/bin/quellix-eventd" "$unit" ||
  { echo "the unit does not start $prefix/bin/quellix-eventd:"; grep ExecStart "$unit"; exit 1; }
rw=$(sed -n 's/^ReadWritePaths=//p' "$unit")
for path in $(sed -n 's/^[# ]*\(state_dir\|metrics.textfile\) = \(\/.*\)$/\2/p' \
    "$prefix/share/quellix/platform.conf.sample"); do
  covered=no
  for p in $rw; do
    case "$path/" in "${p#-}"/*) covered=yes ;; esac
  done
  [ $covered = yes ] || { echo "ReadWritePaths ($rw) does not cover $path"; exit 1; }
done
