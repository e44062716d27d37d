#!/bin/bash
# The unit's install tree as an integrator gets it: installed from a build
# into a temporary folder, it holds exactly the unit's files at their board
# paths with their modes, its programs are executables for the build's
# target needing only the C and C++ runtime, and its init scripts parse
# under BusyBox sh and start, report and stop the daemon inside a sandbox.
#
#   test_install_tree.sh <build dir> <component or ""> <ELF class> <ELF machine>
#                        <runtime lib dir> <allowed NEEDED patterns...>
set -eu

build=$1 component=$2 elf_class=$3 elf_machine=$4 runtime_dir=$5
shift 5
allowed=("$@")

work=$(mktemp -d /tmp/kelinst.XXXXXX)
sb=$work/sandbox
decoy_pid=""
failures=0

cleanup() {
    [ -z "$decoy_pid" ] || kill -KILL "$decoy_pid" 2>/dev/null || :
    [ ! -d "$sb/home/root" ] || "$build/bin/kelvboard" --power-off "$sb" >/dev/null 2>&1 || :
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# --- the tree: installed with --prefix and with DESTDIR, the same files ---
install_args=()
[ -z "$component" ] || install_args=(--component "$component")
cmake --install "$build" "${install_args[@]}" --prefix "$work/root" >/dev/null
DESTDIR="$work/destdir" cmake --install "$build" "${install_args[@]}" --prefix / >/dev/null
diff -r "$work/root" "$work/destdir" >/dev/null || fail "--prefix and DESTDIR trees differ"
root=$work/root

# Type, mode and path of every entry the unit owns; nothing else may be there.
expected() {
    local d f
    for d in etc etc/init.d home kel kel/app kel/config kel/factory kel/log kel/sys kel/sys/log \
             usr usr/bin usr/ftp usr/ftp/up usr/share usr/share/picto; do
        echo "d 755 $d"
    done
    echo "d 700 home/root"
    for f in etc/init.d/kelcontrol etc/init.d/kelappclient etc/init.d/kelupgrade \
             etc/init.d/kelindustry kel/app/kelappclient usr/bin/kelcontrol \
             usr/bin/kelstpclient usr/bin/kelupgrade usr/bin/kelindustry usr/bin/keypadsim \
             usr/bin/flashdump; do
        echo "f 755 $f"
    done
    echo "f 644 etc/fw_env.config"
    for f in full_err_0 full_err_1 full_upg_0 full_prog_0 full_prog_1 full_ind_0 sep_err \
             sep_upg sep_prog sep_ind sep_err_en sep_err_fr sep_upg_en sep_upg_fr sep_prog_en \
             sep_prog_fr sep_ind_en sep_ind_fr; do
        echo "f 644 usr/share/picto/picto_$f.bmp"
    done
}
tree_diff=$(diff <(expected | sort) <(cd "$root" && find . -mindepth 1 -printf '%y %m %P\n' | sort)) \
    || fail "install tree differs from the unit's list (< missing, > unexpected):
$tree_diff"

# --- programs: executables of the target, needing only the runtime ---
allowed_lib() {
    local lib=$1 pattern
    for pattern in "${allowed[@]}"; do
        # shellcheck disable=SC2053
        [[ $lib == $pattern ]] && return 0
    done
    return 1
}

for f in usr/bin/kelcontrol usr/bin/kelstpclient usr/bin/kelupgrade usr/bin/kelindustry \
         usr/bin/keypadsim usr/bin/flashdump kel/app/kelappclient; do
    [ -f "$root/$f" ] || continue
    [ "$(head -c 4 "$root/$f" | od -An -c | tr -d ' ')" = '177ELF' ] || { fail "$f is not an ELF file"; continue; }
done
while IFS= read -r -d '' f; do
    [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    name=${f#"$root"/}
    header=$(readelf -h "$f")
    grep -Eq "Class: +$elf_class\$" <<<"$header" || fail "$name: not $elf_class"
    grep -Eq "Machine: +$elf_machine\$" <<<"$header" || fail "$name: not built for $elf_machine"
    grep -Eq 'Type: +(EXEC|DYN)' <<<"$header" || fail "$name: not an executable"
    readelf -l "$f" | grep -q 'Requesting program interpreter' || fail "$name: no program interpreter"
    while read -r lib; do
        allowed_lib "$lib" || fail "$name needs $lib, which is not the C/C++ runtime"
        [ -e "$runtime_dir/$lib" ] || fail "$name needs $lib, missing from $runtime_dir"
    done < <(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done < <(find "$root" -type f -print0)

# --- init scripts: BusyBox sh, and a round trip inside a sandbox ---
for s in "$root"/etc/init.d/*; do
    [ "$(head -n 1 "$s")" = '#!/bin/sh' ] || fail "${s#"$root"/}: not a /bin/sh script"
    busybox sh -n "$s" || fail "${s#"$root"/}: busybox sh -n refuses it"
done

"$build/bin/kelvboard" "$sb" >/dev/null
# A process called kelcontrol that is not the sandbox's daemon: a script that
# looks for "kelcontrol" by name would take it (or itself) for the daemon.
mkdir "$work/decoy"
cp /bin/sleep "$work/decoy/kelcontrol"
"$work/decoy/kelcontrol" 300 &
decoy_pid=$!
disown "$decoy_pid"

script=$root/etc/init.d/kelcontrol
pidfile=$sb/var/run/kelcontrol.pid
in_sandbox() { # in_sandbox <shell...>: runs the installed script in the sandbox
    "$build/bin/kelvboard" --run "$sb" "$@" >>"$work/script.out" 2>&1
}
status_of() {
    local rc=0
    in_sandbox "$@" || rc=$?
    echo "$rc"
}
runs_daemon() { # the pid runs the sandbox's kelcontrol
    tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -qF "$sb/usr/bin/kelcontrol "
}

# Run by its own name (the kernel names the shell after the script) and
# under BusyBox sh, the board's shell.
[ "$(status_of "$script" status)" = 3 ] || fail "status before start is not 3 (not running)"
echo "$decoy_pid" >"$pidfile"       # a stale pid file naming another process
[ "$(status_of /bin/busybox sh "$script" status)" = 3 ] || fail "a stale pid file counts as running"
[ "$(status_of /bin/busybox sh "$script" stop)" = 0 ] || fail "stop with a stale pid file fails"
kill -0 "$decoy_pid" 2>/dev/null || fail "stop killed a process that was not the daemon"

[ "$(status_of /bin/busybox sh "$script" start)" = 0 ] || fail "start fails"
pid=$(cat "$pidfile" 2>/dev/null || echo none)
runs_daemon "$pid" || fail "the pid file ($pid) does not name the sandbox's daemon"
[ "$(status_of "$script" start)" = 0 ] || fail "a second start fails"
[ "$(cat "$pidfile" 2>/dev/null)" = "$pid" ] || fail "a second start started another daemon"
daemons=0
for p in /proc/[0-9]*; do
    runs_daemon "${p#/proc/}" && daemons=$((daemons + 1))
done
[ "$daemons" = 1 ] || fail "$daemons daemons run, not one"
[ "$(status_of /bin/busybox sh "$script" status)" = 0 ] || fail "status of a running daemon is not 0"

[ "$(status_of /bin/busybox sh "$script" stop)" = 0 ] || fail "stop fails"
runs_daemon "$pid" && fail "the daemon still runs after stop returned"
[ ! -e "$pidfile" ] || fail "stop left the pid file"
kill -0 "$decoy_pid" 2>/dev/null || fail "stop killed the other kelcontrol"
[ "$(status_of "$script" status)" = 3 ] || fail "status after stop is not 3"

if [ "$failures" -ne 0 ]; then
    echo "--- script output:" >&2
    cat "$work/script.out" >&2 || :
    exit 1
fi
echo "install tree and init scripts: all checks passed"
