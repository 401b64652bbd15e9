#!/usr/bin/env bash
# The main job on the embedded default: builds the project, makes a demo
# server in a temporary state folder and shows what the platform holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
bin=build/release/localplatform/tools
state=${QUELLIX_DEMO_DIR:-$(mktemp -d /tmp/quellix-demo.XXXXXX)}
export QUELLIX_CONFIG="$state/platform.conf"
cat > "$QUELLIX_CONFIG" <<CONF
state_dir = $state
server.computer_name = exch01
server.domain_dns_name = example.org
CONF
"$bin/quellix-admin" demo
echo "demo platform in $state (QUELLIX_CONFIG=$QUELLIX_CONFIG)"
