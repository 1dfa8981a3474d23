#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, installs it on this
# machine (dpkg -i, then apt-get install -f for its dependencies), runs the
# installed norvakel unattended on a copy of the example transfer file, and
# removes the package again, checking that nothing of it stays behind.
# Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
build=${NORVAKEL_PACKAGE_BUILD_DIR:-build-package}
# Debian's hardening flags, as a Debian build of the package would use them.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" \
    -DNORVAKEL_TESTS=OFF -DNORVAKEL_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/norvakel_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/norvakel_*.deb)
echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb"

# Other jobs may hold the dpkg lock for a while: retry while it is busy.
with_dpkg_lock() {
    local out
    for _ in $(seq 1 120); do
        if out=$("$@" 2>&1); then
            echo "$out"
            return 0
        fi
        echo "$out" | grep -qi 'lock' || { echo "$out"; return 1; }
        sleep 5
    done
    echo "$out"
    return 1
}

echo "== install"
export DEBIAN_FRONTEND=noninteractive
with_dpkg_lock dpkg -i "$deb" || with_dpkg_lock apt-get install -f -y -q --no-install-recommends -o DPkg::Lock::Timeout=600
dpkg-query -W -f='${Status}\n' norvakel | grep -q "install ok installed"
files=$(dpkg-query -L norvakel)
removed=0
cleanup() {
    if [ "$removed" = 0 ]; then with_dpkg_lock dpkg -r norvakel >/dev/null || true; fi
}
trap cleanup EXIT

echo "== installed files and caches"
test "$(command -v norvakel)" = /usr/bin/norvakel
test -f /usr/share/mime/application/x-norvakel-transfer.xml # shared-mime-info's trigger ran
grep -q '^application/x-norvakel-transfer=.*norvakel.desktop' /usr/share/applications/mimeinfo.cache
man -w norvakel >/dev/null

echo "== run the installed program"
work=$(mktemp -d)
cp examples/orders.nvk "$work/orders.nvk"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY NORVAKEL_UNATTENDED=1 TEMP="$work" LC_ALL=C.UTF-8 \
    norvakel "$work/orders.nvk" 2>"$work/events.jsonl" || status=$?
cat "$work/events.jsonl"
test "$status" = 0
tail -n 1 "$work/events.jsonl" | grep -qx '{"event":"exit","code":0}'
test ! -e "$work/orders.nvk" # a run deletes its transfer file
test -f "$work/UNTITLED.MDB"
rm -rf "$work"

echo "== remove"
with_dpkg_lock dpkg -r norvakel
removed=1
left=0
while IFS= read -r path; do
    # Folders shared with other packages stay; every file of ours must go.
    if [ -e "$path" ] && [ ! -d "$path" ]; then
        echo "left behind: $path"
        left=1
    fi
done <<<"$files"
test ! -e /usr/share/mime/application/x-norvakel-transfer.xml || { echo "MIME type still known"; left=1; }
! grep -q norvakel /usr/share/applications/mimeinfo.cache || { echo "desktop cache still names norvakel"; left=1; }
dpkg-query -W -f='${Status}\n' norvakel 2>/dev/null | grep -q "install ok installed" && left=1
test "$left" = 0
echo "package test passed"
