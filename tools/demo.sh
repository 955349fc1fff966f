#!/usr/bin/env bash
# Makes a signed update package from two sample releases with quillFern-pack,
# updates a sample installation with it, the way the product hands over to
# quillFern, and prints what changed. Everything lives under build/sample and
# is laid out anew on every run.
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

# Release 1.0 is what is installed; release 2.0 is what the publisher ships next.
old="$sample/releases/1.0"
new="$sample/releases/2.0"
mkdir -p "$old"
cp -a "$root/." "$old/"
mkdir -p "$old/data" "$old/docs"
echo "Halvorquintel 1.0"        > "$old/readme.txt"
echo "colour=blue"              > "$old/data/config.ini"
echo "old plugin"               > "$old/data/old-plugin.dll"
echo "old manual"               > "$old/docs/manual-old.txt"
cp -a "$old/." "$root/"
echo "the user's own notes"     > "$root/notes.txt"

cp -a "$old" "$new"
rm "$new/data/old-plugin.dll" "$new/docs/manual-old.txt"
mkdir -p "$new/data/plugins/spell" "$new/docs/guide" "$new/__MACOSX"
echo "Halvorquintel 2.0"        > "$new/readme.txt"
echo "colour=green"             > "$new/data/config.ini"
echo "spell checker"            > "$new/data/plugins/spell/spell.dll"
echo "chapter one"              > "$new/docs/guide/chapter1.txt"
echo "archive metadata"         > "$new/__MACOSX/._readme.txt"
echo "finder settings"          > "$new/.DS_Store"

# The publisher's side: the package from the two releases, signed, and checked
# against both before it ships.
pack="$PWD/build/tools/pack/quillFern-pack"
minisign -G -W -p "$sample/publisher.pub" -s "$sample/publisher.key" >/dev/null
echo "Making:    quillFern-pack make --from releases/1.0 --to releases/2.0 --out package"
"$pack" make --from "$old" --to "$new" --out "$package" | sed 's/^/           /'
"$pack" sign --key "$sample/publisher.key" --trusted-comment "Halvorquintel 2.0" "$package"
"$pack" verify "$package" --installed "$old" --expect "$new" --keys "$sample/publisher.pub" \
    | sed 's/^/           /'
echo

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
echo "Skipped:   .DS_Store and __MACOSX/ were not installed: $( [ -e "$root/.DS_Store" ] || [ -e "$root/__MACOSX" ] && echo NO || echo yes)"
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
