#!/usr/bin/env bash
# Installs what is needed, builds, and measures what the extension costs a PHP
# request: the same script served with and without Quillet, side by side.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLET_BUILD_DIR:-$root/build}"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
# The benchmark writes the fixed-name registration block: it waits for the
# end-to-end tests that use it, as they wait for each other.
exec flock /tmp/quillet-qx-agent-block.lock /usr/bin/python3 "$root/bench/run_benchmark.py" --build "$build" "$@"
