#!/usr/bin/env bash
# Counts the file-system calls that name an entry (status and existence
# queries, opens, renames, links, directory creations) that each program
# makes to rename N files in one directory, with strace -c, and what they
# would cost on a share where every such call is one round trip.
#
#   bench/call_counts.sh TARN FLOOR [N]
#
# The programs' start-up (loading their libraries) is measured on an empty
# directory and taken off, so the figures are the work itself.
set -euo pipefail
tarn=$(realpath "$1") floor=$(realpath "$2") n=${3:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
named='^(newfstatat|fstatat64|statx|stat|lstat|access|faccessat2?|openat|open|renameat2?|rename|linkat|link|mkdirat|mkdir|unlinkat|unlink|readlinkat|readlink)$'
count() {  # files, command: the calls that name entries
    rm -rf "$work/w"; mkdir "$work/w"
    (cd "$work/w" && for ((i = 1; i <= $1; i++)); do : >"IMG_$i.jpg"; done)
    (cd "$work/w" && strace -f -c -o "$work/trace" sh -c "$2" >/dev/null 2>&1)
    awk -v named="$named" '$NF ~ named { n += $4 } END { print n + 0 }' "$work/trace"
}
echo "| program | calls for $n files | per file | at 0.3 ms a call | at 1 ms a call |"
echo "|---|---|---|---|---|"
while IFS='|' read -r label command; do
    calls=$(( $(count "$n" "$command") - $(count 0 "$command") ))
    awk -v l="$label" -v c="$calls" -v n="$n" \
        'BEGIN { printf "| %s | %d | %.2f | %.1f s | %.1f s |\n", l, c, c / n, c * 0.0003, c * 0.001 }'
done <<LIST
tarn, renaming|$tarn 'IMG_(\\d+)' 'photo-\$1'
tarn -n|$tarn -n 'IMG_(\\d+)' 'photo-\$1'
floor: stat, stat(target), rename|$floor flat
floor, one call|$floor flat -1
floor dry run: stat, stat(target)|$floor flat -n
floor dry run, one call|$floor flat -n -1
mmv|mmv 'IMG_*.jpg' 'photo-#1.jpg'
Perl rename, names from find -print0|find . -maxdepth 1 -name 'IMG_*' -print0 | /usr/bin/file-rename -0 's/IMG_(\\d+)/photo-\$1/'
LIST
