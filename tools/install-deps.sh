#!/usr/bin/env bash
# Installs what building, running and testing Norvakel needs, from Debian's
# packages, when it is missing. Run as root on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libqt6sql6-sqlite qt6-svg-dev
    libsqlite3-dev sqlite3
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    python3 xvfb xauth xdg-utils fonts-dejavu-core fonts-dejavu-extra fonts-liberation
    libgsf-1-dev pxlib-dev
    python3-dbfread python3-dbf python3-xlrd gdal-bin mdbtools poppler-utils
    clang libclang-rt-14-dev
    shared-mime-info desktop-file-utils libfile-mimeinfo-perl libglib2.0-bin
    lintian dpkg-dev man-db
    nodejs
    default-jre-headless libcommons-lang3-java libcommons-logging-java libapache-poi-java
)
# Node.js builds from other sources bring npm with them and conflict with
# Debian's npm package.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The mdb-reader package (an independent Access reader the tests compare
# against), installed beside the tests, never into the program.
script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ ! -d "$script_dir/../tests/jsreader/node_modules/mdb-reader" ]; then
    (cd "$script_dir/../tests/jsreader" && npm install --no-audit --no-fund)
fi
