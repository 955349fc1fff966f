#!/usr/bin/env bash
# Updates a sample installation with a sample package, the way the product
# hands over to quillFern, and prints what changed. Everything lives under
# build/sample and is laid out anew on every run.
#
# Note: before it updates, quillFern stops every process named Halvorquintel of this user.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null

sample="$PWD/build/sample"
root="$sample/install"
package="$sample/package"
product_log="$root/bin/product-starts.log"

# A product from an earlier demo may still be running: stop it before laying out anew.
if [ -f "$product_log" ]; then
    while read -r pid; do kill "$pid" 2>/dev/null || true; done < "$product_log"
fi
rm -rf "$sample"
cmake --install build --prefix "$root" >/dev/null

# The installed product: a stand-in that records each start and runs until stopped.
cat > "$root/bin/Halvorquintel" <<'PRODUCT'
#!/bin/sh
echo "$$" >> "$(dirname "$0")/product-starts.log"
trap 'exit 0' TERM
while :; do sleep 0.2 & wait $!; done
PRODUCT
chmod +x "$root/bin/Halvorquintel"
mkdir -p "$root/data" "$root/docs"
echo "Halvorquintel 1.0"        > "$root/readme.txt"
echo "colour=blue"              > "$root/data/config.ini"
echo "old plugin"               > "$root/data/old-plugin.dll"
echo "old manual"               > "$root/docs/manual-old.txt"
echo "the user's own notes"     > "$root/notes.txt"

# The update package, as the product unpacks it.
mkdir -p "$package/Env/data/plugins/spell" "$package/Env/docs/guide" "$package/Env/__MACOSX"
echo "Halvorquintel 2.0"        > "$package/Env/readme.txt"
echo "colour=green"             > "$package/Env/data/config.ini"
echo "spell checker"            > "$package/Env/data/plugins/spell/spell.dll"
echo "chapter one"              > "$package/Env/docs/guide/chapter1.txt"
echo "archive metadata"         > "$package/Env/__MACOSX/._readme.txt"
echo "finder settings"          > "$package/Env/.DS_Store"
cat > "$package/Env/del.xml" <<'LIST'
<?xml version="1.0" encoding="UTF-8"?>
<DelLs>
<file>data/old-plugin.dll</file>
<file>docs/manual-old.txt</file>
</DelLs>
LIST
# The manifest the product's build writes beside the payload; quillFern applies the package only if it matches.
(cd "$package/Env" && find . -type f -print0 | sort -z | xargs -0 sha256sum > ../SHA256SUMS)

snapshot() {
    (cd "$root" && find . -type f ! -name product-starts.log -print0 | sort -z | xargs -0 sha256sum) \
        | sed 's|  \./|  |' > "$1"
}
names() { awk '{ print $2 }' "$1"; }
listing() { if [ -s "$1" ]; then tr '\n' ' ' < "$1"; else printf '(none)'; fi; }

snapshot "$sample/before.txt"

"$root/bin/Halvorquintel" &
product_pid=$!
sleep 0.3

if [ -n "${DISPLAY:-}" ]; then
    platform="a window on $DISPLAY"
else
    export QT_QPA_PLATFORM=offscreen
    platform="offscreen: no display"
fi
echo "Running: $root/bin/quillFern update $package ($platform)"
start=$(date +%s.%N)
status=0
(cd "$sample" && timeout 60 "$root/bin/quillFern" update "$package" 2>"$sample/quillFern.log") 2>/dev/null || status=$?
end=$(date +%s.%N)
wait "$product_pid" 2>/dev/null || true

snapshot "$sample/after.txt"
names "$sample/before.txt" > "$sample/before.names"
names "$sample/after.txt" > "$sample/after.names"
comm -23 "$sample/before.names" "$sample/after.names" > "$sample/removed.txt"
comm -13 "$sample/before.names" "$sample/after.names" > "$sample/added.txt"
awk 'NR == FNR { old[$2] = $1; next } ($2 in old) && old[$2] != $1 { print $2 }' \
    "$sample/before.txt" "$sample/after.txt" > "$sample/replaced.txt"

starts=$(wc -l < "$product_log")
relaunched=$(tail -n 1 "$product_log")
echo
seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
case "$status" in
    0) echo "quillFern ran for $seconds s and ended itself" ;;
    124) echo "quillFern did not finish within 60 s"; status=1 ;;
    *) echo "quillFern ended after $seconds s with status $status" ;;
esac
echo "Removed:   $(listing "$sample/removed.txt")"
echo "Added:     $(listing "$sample/added.txt")"
echo "Replaced:  $(listing "$sample/replaced.txt")"
checked=$(grep -o 'checked [0-9]* files against SHA256SUMS' "$sample/quillFern.log" || true)
if [ -n "$checked" ]; then
    echo "Manifest:  $checked before anything changed"
else
    echo "Manifest:  NOT checked against SHA256SUMS"
    status=1
fi
echo "Skipped:   .DS_Store and __MACOSX/ were not copied: $( [ -e "$root/.DS_Store" ] || [ -e "$root/__MACOSX" ] && echo NO || echo yes)"
if [ "$starts" -eq 2 ] && kill -0 "$relaunched" 2>/dev/null; then
    echo "Product:   the running product (pid $product_pid) was stopped and started again (pid $relaunched)"
else
    echo "Product:   NOT restarted as expected ($starts starts recorded)"
    status=1
fi
[ -e "$package" ] && echo "Package:   still there: $package" || echo "Package:   removed"
echo "Debug log: $sample/quillFern.log"

# The demo's product has served its purpose.
kill "$relaunched" 2>/dev/null || true
[ "$status" -eq 0 ] && [ "$starts" -eq 2 ] && [ ! -e "$package" ]
