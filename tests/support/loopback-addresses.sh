#!/bin/sh
# Every loopback address a test serves a meter (or any other peer) on
# belongs to one test source: ctest runs the test programs side by side,
# and two of them on one address bind each other's ports away or, worse,
# have one unit talk to the other test's meter.
#
#   loopback-addresses.sh <tests folder>
#
# 127.0.0.1 is exempt (the factory port and the panel's own servers, which
# their tests share under a lock or on free ports). Exit 1 and the clashes
# named when an address appears in more than one file.
set -eu

list_uses() { # <folder>: "<address> <file>" for each file naming an address
    find "$1" -type f \( -name '*.cpp' -o -name '*.h' -o -name CMakeLists.txt \) | sort |
    while IFS= read -r file; do
        case "$file" in
            # Comments of the CMake files only describe ranges.
            *CMakeLists.txt) sed 's/#.*//' "$file";;
            *) cat "$file";;
        esac | grep -oE '127\.0\.0\.[0-9]+' | sort -u | sed "s|\$| $file|"
    done | grep -v '^127\.0\.0\.1 ' || true
}

main() {
    [ $# -eq 1 ] && [ -d "$1" ] || { echo "usage: $0 <tests folder>" >&2; exit 2; }
    clashes=$(list_uses "$1" | awk '
        { files[$1] = files[$1] " " $2; n[$1]++ }
        END { for (a in n) if (n[a] > 1) print a ":" files[a] }' | sort)
    if [ -n "$clashes" ]; then
        echo "loopback addresses used by more than one test source:"
        echo "$clashes"
        exit 1
    fi
    echo "every test address belongs to one test source"
}

main "$@"
