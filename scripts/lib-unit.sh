# lib-unit.sh - the virtual unit's life in a sandbox, shared by scripts/demo
# and scripts/soak: the configuration of a board that has run the app
# before, the System V keys of the sandbox, the processes started from it,
# and the stop after which nothing of it is left running. Sourced; the
# caller sets top (the checkout), bin (the programs) and sb (the sandbox).

# unit_app_version MAJOR|MINOR|BUILD: the app version this checkout builds.
unit_app_version() {
    sed -n "s/^#define KEL_APP_VERSION_$1 \([0-9]*\).*/\1/p" "$top/kelCommon/inc/kel.h"
}

# unit_configure <meter address>: the app client gets the meter's address
# from its init script; the configuration names the installed application,
# as on a board where it has run before (the meter expects that version).
unit_configure() {
    echo "METER_HOST=$1" >"$sb/etc/vboard.conf"
    printf 'APP_VERSION %03d.%03d.%03d\n' "$(unit_app_version MAJOR)" \
        "$(unit_app_version MINOR)" "$(unit_app_version BUILD)" >>"$sb/kel/config/kel.conf"
}

# unit_ipc_keys: the System V keys of the sandbox's queues and segment.
unit_ipc_keys() {
    "$bin/kelvboard" --ipc-keys "$sb"
}

# unit_ipc_count <keys>: queues and segments that exist with those keys.
unit_ipc_count() {
    ipcs -q -m 2>/dev/null | awk -v keys="$1" '
        BEGIN { n = split(keys, k, "\n"); for (i = 1; i <= n; i++) want[k[i]] = 1 }
        ($1 in want) { c++ } END { print c + 0 }'
}

# unit_sandbox_pids <text>: pids of the processes (other than this shell)
# whose command line holds the text.
unit_sandbox_pids() {
    local p cmd
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" = "$$" ] && continue
        cmd=$(tr '\0' ' ' 2>/dev/null <"$p/cmdline") || continue
        [[ $cmd == *"$1"* ]] && echo "${p#/proc/}"
    done
}

# unit_stop <startup client pid, or ""> <keys>: the startup client first, so
# nothing starts the others again; then the init script it may have been
# running (the app client's stop after the meter left, say), which goes on
# by itself; then the services; then anything else still running from the
# sandbox; then the queues and the segment. Sets unit_stopped to what was
# stopped, for the caller's summary.
unit_stop() {
    local stp=$1 keys=$2 upg= left=0 p key
    unit_stopped=
    if [ -n "$stp" ] && kill -0 "$stp" 2>/dev/null; then
        kill -TERM "$stp" 2>/dev/null
        for _ in $(seq 30); do kill -0 "$stp" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$stp" 2>/dev/null
        wait "$stp" 2>/dev/null
        unit_stopped="kelstpclient, "
    fi
    for _ in $(seq 50); do
        [ -z "$(unit_sandbox_pids "$sb/etc/init.d/")" ] && break
        sleep 0.1
    done
    if "$bin/kelvboard" --run "$sb" "$sb/etc/init.d/kelupgrade" status >/dev/null 2>&1; then
        "$bin/kelvboard" --run "$sb" "$sb/etc/init.d/kelupgrade" stop >/dev/null 2>&1
        upg="kelupgrade, "
    fi
    "$bin/kelvboard" --run "$sb" "$sb/etc/init.d/kelappclient" stop >/dev/null 2>&1
    "$bin/kelvboard" --run "$sb" "$sb/etc/init.d/kelcontrol" stop >/dev/null 2>&1
    unit_stopped="${unit_stopped}kelappclient, ${upg}kelcontrol"
    for p in $(unit_sandbox_pids "$sb/"); do
        kill -KILL "$p" 2>/dev/null && left=$((left + 1))
    done
    [ $left -eq 0 ] || unit_stopped="$unit_stopped, $left more killed"
    for key in $keys; do
        ipcrm -Q "$key" 2>/dev/null
        ipcrm -M "$key" 2>/dev/null
    done
}
