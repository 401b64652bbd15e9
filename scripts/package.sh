#!/usr/bin/env bash
# Builds the Debian packages (debian/, dpkg-buildpackage) from the files of
# this tree that git knows (committed or not, ignored files left out), in
# build/package/, and runs lintian on them: an error of lintian fails the
# script. The packages end in build/package/*.deb.
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
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
echo "== packages"
ls -l "$out"/*.deb
echo "== lintian"
lintian --fail-on error "$out"/*.changes
