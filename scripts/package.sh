#!/usr/bin/env bash
# Builds the Debian packages (debian/, dpkg-buildpackage) from the files of
# this tree that git knows (committed or not, ignored files left out), in
# build/package/, and runs lintian on them: an error of lintian fails the
# script. The packages end in build/package/*.deb.
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what the build needs: this may run on the mail server itself.
bash scripts/install-deps.sh --package
out=build/package
src=$out/quellix
rm -rf "$out"
mkdir -p "$src"
# A clean copy: no build folder of the tree ends in the package build.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$src"
echo "== dpkg-buildpackage ($src)"
(cd "$src" && dpkg-buildpackage -b -us -uc -j"$(nproc)")
echo "== packages and what each holds"
ls -l "$out"/*.deb
# Each package holds its programs where the unit, the man pages and the
# other packages expect them, and a man page for each program; the tools
# hold the configuration's page and the manual (README and docs/).
declare -A want=(
  [quellix-tools]="./usr/bin/quellix-admin ./usr/bin/quellix-host ./usr/share/quellix/initial/platform.conf
    ./usr/share/quellix/schema/quellix.schema ./usr/share/man/man8/quellix-admin.8.gz
    ./usr/share/man/man8/quellix-host.8.gz ./usr/share/man/man5/platform.conf.5.gz
    ./usr/share/bash-completion/completions/quellix-admin ./usr/share/doc/quellix-tools/docs/"
  [quellix-sink]="./usr/lib/quellix/Quellix.so"
  [quellix-eventd]="./usr/bin/quellix-eventd ./lib/systemd/system/quellix-eventd.service
    ./usr/share/man/man8/quellix-eventd.8.gz"
  [quellix-setup]="./usr/bin/quellix-setup ./usr/share/man/man8/quellix-setup.8.gz"
  [quellix-setup-gui]="./usr/bin/QuellixSetup ./usr/share/man/man1/QuellixSetup.1.gz
    ./usr/share/applications/QuellixSetup.desktop"
)
for package in "${!want[@]}"; do
  deb=$(ls "$out/${package}_"*.deb)
  contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for path in ${want[$package]}; do
    grep -qxF "$path" <<<"$contents" || { echo "package.sh: $path missing from $deb" >&2; exit 1; }
  done
done
for package in quellix-tools quellix-sink quellix-eventd quellix-setup; do
  if dpkg-deb --field "$out/${package}_"*.deb Depends | grep -qi 'libqt6'; then
    echo "package.sh: $package depends on Qt: a server without a desktop would need it" >&2; exit 1
  fi
done
grep -q '^ExecStart=/usr/bin/quellix-eventd$' < <(dpkg-deb --fsys-tarfile "$out"/quellix-eventd_*.deb |
  tar -xOf - ./lib/systemd/system/quellix-eventd.service) ||
  { echo "package.sh: the unit does not start /usr/bin/quellix-eventd" >&2; exit 1; }
echo "== lintian"
lintian --fail-on error "$out"/*.changes
