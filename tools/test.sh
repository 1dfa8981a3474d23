#!/usr/bin/env bash
# Builds Norvakel and runs the whole test suite (unit and end-to-end tests).
# NORVAKEL_SANITIZE=ON builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
sanitize=${NORVAKEL_SANITIZE:-OFF}
build=${NORVAKEL_BUILD_DIR:-build}
[ "$sanitize" = ON ] && build=${NORVAKEL_BUILD_DIR:-build-asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVAKEL_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
ctest --output-on-failure --timeout 900 -j"$(nproc)"
