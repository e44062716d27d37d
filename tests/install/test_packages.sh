#!/bin/bash
# The packages CPack makes from a build: each carries the project's version
# and architecture, the unit's package and overlay hold the board paths of
# the install tree, and lintian finds no error in the Debian packages.
#
#   test_packages.sh <build dir> <version> <deb architecture> <component>
set -eu

build=$1 version=$2 arch=$3 component=$4
work=$(mktemp -d /tmp/kelpkg.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log" >&2; exit 1; }

deb=$work/out/kel-${component}_${version}_${arch}.deb
[ -f "$deb" ] || { ls "$work/out" >&2; fail "no package kel-${component}_${version}_${arch}.deb"; exit 1; }
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "package architecture is not $arch"

if [ "$component" = unit ]; then
    contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
    for p in ./usr/bin/kelcontrol ./usr/bin/kelstpclient ./usr/bin/kelupgrade \
             ./usr/bin/kelindustry ./usr/bin/keypadsim ./usr/bin/flashdump \
             ./kel/app/kelappclient ./etc/init.d/kelcontrol ./etc/init.d/kelappclient \
             ./etc/init.d/kelupgrade ./etc/init.d/kelindustry ./usr/share/picto/picto_full_err_0.bmp \
             ./kel/config/ ./kel/factory/ ./kel/log/ ./kel/sys/log/ ./usr/ftp/up/; do
        grep -qxF "$p" <<<"$contents" || fail "the package lacks $p"
    done
    [ "$(dpkg-deb -f "$deb" Depends)" != "" ] || fail "the package names no runtime"
    overlay=$work/out/kel-unit-${version}-${arch}.tar.gz
    if [ -f "$overlay" ]; then
        # The overlay is the install tree itself (stripped), from the root.
        mkdir "$work/overlay" "$work/tree"
        tar -xzf "$overlay" -C "$work/overlay"
        cmake --install "$build" --component unit --strip --prefix "$work/tree" >/dev/null
        diff -r "$work/overlay" "$work/tree" >/dev/null || fail "the overlay differs from the install tree"
        [ "$(cd "$work/overlay" && find . -printf '%y %m %P\n' | sort)" = \
          "$(cd "$work/tree" && find . -printf '%y %m %P\n' | sort)" ] \
            || fail "the overlay's modes differ from the install tree's"
    else
        fail "no overlay kel-unit-${version}-${arch}.tar.gz"
    fi
fi

lintian --fail-on error --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 \
    || { cat "$work/lintian.log" >&2; fail "lintian finds errors in ${deb##*/}"; }

[ "$failures" -eq 0 ] || exit 1
echo "${deb##*/}: version, architecture, contents and lintian checked"
