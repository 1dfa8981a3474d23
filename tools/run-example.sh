#!/usr/bin/env bash
# Builds Norvakel and runs it on a copy of the bundled example transfer file
# (a run deletes its transfer file). Without a display the run is unattended:
# its events are printed as JSON lines.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target norvakel -j"$(nproc)"

work=$(mktemp -d)
cp examples/orders.nvk "$work/orders.nvk"
export TEMP="$work"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export NORVAKEL_UNATTENDED=1
fi
status=0
./build/norvakel "$work/orders.nvk" || status=$?
echo "norvakel exited with status $status; work folder: $work"
ls -l "$work"
exit $status
