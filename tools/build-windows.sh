#!/usr/bin/env bash
# Cross-builds quillFern.exe and the tests for 64-bit Windows against the
# prebuilt MinGW Qt, and lays the Windows installation out in
# build-windows/installation. tools/test.sh runs the result under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-windows
qt=$PWD/$build/qt5-mingw64
tarball=${QUILLFERN_QT_MINGW:-../shared/toolchains/qt5.15.8-mingw64.tar.xz}

if [ ! -d "$qt" ]; then
    if [ ! -f "$tarball" ]; then
        cat >&2 <<MSG
No prebuilt Qt for MinGW at $tarball (set QUILLFERN_QT_MINGW to its path).
Building one takes about 30 minutes on 2 cores: from Debian 12's source package
qtbase-opensource-src 5.15.8 (its upstream tarball), with x86_64-w64-mingw32-g++-posix
first on PATH under its plain name, run
  configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \\
    -prefix /opt/qt5-mingw64 -opensource -confirm-license -release -shared \\
    -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \\
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz \\
    -no-sql-sqlite -no-sql-odbc -no-feature-sql -no-ssl -no-openssl -no-feature-tabletevent \\
    -platform linux-g++
then make -j2 && make install, and pack /opt/qt5-mingw64 as qt5-mingw64/ in a .tar.xz.
MSG
        exit 1
    fi
    mkdir -p "$build"
    tar -xJf "$tarball" -C "$build"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/tools/windows/mingw64-toolchain.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" \
    -DQt5LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt5LinguistTools >/dev/null
cmake --build "$build" -j2
rm -rf "$build/installation"
cmake --install "$build" --prefix "$PWD/$build/installation" >/dev/null

# The executable must carry its icon group and manifest as Windows resources.
python3 - "$build/installation/bin/quillFern.exe" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
for needle in ("IDI_ICON1".encode("utf-16-le"), b"asInvoker"):
    if needle not in data:
        sys.exit("%s lacks the resource %r" % (sys.argv[1], needle))
print("%s carries IDI_ICON1 and its manifest" % sys.argv[1])
PY
