#!/usr/bin/env bash
# Builds quillFern, installs it into a sample installation under build/,
# lays out a sample update package and runs the updater on it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

sample="$PWD/build/sample"
rm -rf "$sample"
cmake --install build --prefix "$sample/install" >/dev/null
mkdir -p "$sample/package/Env"
echo "new readme" > "$sample/package/Env/readme.txt"

[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
echo "Running: $sample/install/bin/quillFern update $sample/package"
status=0
timeout 15 "$sample/install/bin/quillFern" update "$sample/package" || status=$?
echo "quillFern ended with status $status"
