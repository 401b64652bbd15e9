#!/usr/bin/env bash
# clang-tidy over the system's own code -- not the tests, test support, fuzz
# targets, benchmarks or generated code -- with the checks in .clang-tidy,
# every warning an error. It reads the compile commands of a build that has
# been built (default build/dev: the window's generated headers come from
# it), so nothing is compiled twice. Exits 1 when a file has a finding.
# The static analyzer (clang-analyzer-*) follows every path of a function but
# inlines only small callees: TIDY_ANALYZER=deep (not shallow) inlines all
# it can, for four times the time.
#   bash scripts/tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
case "$build" in
  -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
analyzer=${TIDY_ANALYZER:-shallow}
case "$analyzer" in
  shallow | deep) ;;
  *) echo "tidy: TIDY_ANALYZER is shallow or deep, not '$analyzer'" >&2; exit 2 ;;
esac
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: $build/compile_commands.json is missing: configure and build $build first" >&2
  exit 2
fi
files=$(mktemp "${TMPDIR:-/tmp}/quellix-tidy.XXXXXX")
trap 'rm -f "$files"' EXIT
python3 - "$build/compile_commands.json" "$PWD" >"$files" <<'EOF'
import json, re, sys
db, source = sys.argv[1], sys.argv[2].rstrip("/") + "/"
not_own = re.compile(r"(_test|_fuzz|_bench)\.cpp$|(^|/)(testing|bench|build)/")
seen = set()
for entry in json.load(open(db)):
    path = entry["file"]
    if path.startswith(source) and not not_own.search(path[len(source):]) and path not in seen:
        seen.add(path)
        print(path)
EOF
echo "tidy: $(wc -l <"$files") files, compile commands from $build"
# GCC's own warning options in those commands are unknown to clang. The
# count of what the system headers had is left out of the output.
set +o pipefail
xargs -a "$files" -P "$(nproc)" -n 4 \
  clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option \
  --extra-arg=-Xclang --extra-arg=-analyzer-config \
  --extra-arg=-Xclang --extra-arg="mode=$analyzer" 2>&1 |
  { grep -v '^[0-9]* warnings\{0,1\} generated\.$' || true; }
# (grep finds nothing to show when clang-tidy found nothing.)
if [ "${PIPESTATUS[0]}" -ne 0 ]; then
  echo "tidy: clang-tidy found something (above)" >&2
  exit 1
fi
