#!/usr/bin/env bash
# Builds Norvakel and runs it on a copy of a bundled example transfer file
# (a run deletes its transfer file): examples/orders.nvk, or the one named as
# the first argument (e.g. print_report.nvk, which prints a report to
# report.pdf in the work folder). Without a display the run is unattended: its
# events are printed as JSON lines.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target norvakel -j"$(nproc)"

example=${1:-orders.nvk}
work=$(mktemp -d)
cp "examples/$example" "$work/$example"
export TEMP="$work"
# The report examples read their definitions from here and print to a PDF file.
export NORVAKEL_EXAMPLES="$PWD/examples"
export NORVAKEL_PDF_PRINTER="$work/report.pdf"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export NORVAKEL_UNATTENDED=1
fi
status=0
./build/norvakel "$work/$example" || status=$?
echo "norvakel exited with status $status; work folder: $work"
ls -l "$work"
exit $status
