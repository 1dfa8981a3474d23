#!/usr/bin/env bash
# Fuzzing with libFuzzer (clang), the whole program under ASan and UBSan.
#   tools/fuzz.sh TARGET MINUTES   one campaign, e.g. tools/fuzz.sh transfer 20
#   tools/fuzz.sh all MINUTES      every target in turn (CI: tools/fuzz.sh all 0.5)
#   tools/fuzz.sh list             the targets (tests/fuzz/<name>_fuzz.cpp)
# New inputs go to build-fuzz/corpus/<name>/, the seeds in tests/fuzz/corpus/<name>/
# are only read. A crash leaves build-fuzz/artifacts/<name>/crash-* and a
# non-zero exit status; reproduce it with build-fuzz/fuzz/<name>_fuzz FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${NORVAKEL_FUZZ_BUILD_DIR:-build-fuzz}

targets() {
    for f in tests/fuzz/*_fuzz.cpp; do
        [ -e "$f" ] || continue
        basename "$f" _fuzz.cpp
    done
}

if [ "${1:-}" = list ]; then targets; exit 0; fi
[ $# -eq 2 ] || { echo "usage: $0 TARGET|all MINUTES | list" >&2; exit 64; }
target=$1
seconds=$(awk -v m="$2" 'BEGIN { s = int(m * 60); print (s < 1 ? 1 : s) }')

bash tools/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNORVAKEL_FUZZ=ON -DNORVAKEL_TESTS=OFF -DNORVAKEL_BENCH=OFF >/dev/null

if [ "$target" = all ]; then
    mapfile -t list < <(targets)
else
    list=("$target")
fi
names=()
for t in "${list[@]}"; do names+=("${t}_fuzz"); done
cmake --build "$build" -j"$(nproc)" --target "${names[@]}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${list[@]}"; do
    corpus="$build/corpus/$t"
    artifacts="$build/artifacts/$t"
    mkdir -p "$corpus" "$artifacts" "tests/fuzz/corpus/$t"
    dict=()
    [ -f "tests/fuzz/$t.dict" ] && dict=(-dict="tests/fuzz/$t.dict")
    echo "== $t: ${seconds}s"
    if ! "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" \
        "$corpus" "$root/tests/fuzz/corpus/$t"; then
        echo "== $t: FAILED (see $artifacts)" >&2
        status=1
    fi
done
exit $status
