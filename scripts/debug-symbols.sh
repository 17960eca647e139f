#!/usr/bin/env bash
# The debug symbols of the packaged programs, as files of their own: the package holds them
# stripped, and gdb finds these by the programs' build id once they are copied to /.
#   scripts/debug-symbols.sh <build-dir>   ->   <build-dir>/debug-symbols/usr/lib/debug/...
set -euo pipefail
build=$1
out="$build/debug-symbols"
rm -rf "$out"
for program in "$build/app/vantrosmtp" "$build/app/vantrosmtp-sendmail"; do
    id=$(readelf -n "$program" | sed -n 's/^ *Build ID: *//p')
    [ -n "$id" ] || { echo "debug-symbols: $program has no build id" >&2; exit 1; }
    file="$out/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
    mkdir -p "$(dirname "$file")"
    objcopy --only-keep-debug --compress-debug-sections "$program" "$file"
    echo "debug-symbols: $(basename "$program") -> ${file#"$build"/}"
done
