#!/usr/bin/env bash
# Builds the unit tests with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-sanitize/ (or $QUILLET_SANITIZE_BUILD_DIR) and runs them (the
# tests labelled "unit"). The engine extension and the end-to-end tests,
# which load it into an uninstrumented PHP, are neither built nor run here.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLET_SANITIZE_BUILD_DIR:-$root/build-sanitize}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUILLET_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target quillet_unit_tests
cd "$build"
# Any finding fails its test: the build stops at the first (no recovery),
# and leaks count as findings too.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --output-on-failure -j"$(nproc)" --timeout 300 -L unit
