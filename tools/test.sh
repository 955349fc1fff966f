#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite headless; then
# cross-builds the Windows executable and runs it and its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFERN_WINDOWS_BUILD="$PWD/build-windows" >/dev/null
cmake --build build
QT_QPA_PLATFORM=offscreen ctest --test-dir build -j2 --output-on-failure -E '^tst_wine$' "$@"

bash tools/build-windows.sh
ctest --test-dir build-windows -j2 --output-on-failure
ctest --test-dir build -R '^tst_wine$' --output-on-failure
