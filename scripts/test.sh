#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test (unit and end to end).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
build="${QUILLET_BUILD_DIR:-$root/build}"
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 300
