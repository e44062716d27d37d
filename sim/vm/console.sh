# The emulated unit's serial console, for scripts on the host (sourced by
# bash): scripts/vm gives it as DIR/console.in (typed to the unit's root
# shell) and DIR/console.log (what the unit wrote).

# vm_guest <unit dir> <seconds> <command>: runs a command in the unit's
# root shell and prints its output. The output lines come back tagged; the
# console's echo of the command names the tag only through a variable, so
# it never passes for output however the terminal wraps it. The tag is new
# at each call, also from a subshell. 1 when the command has not finished
# within the time.
vm_guest() {
    local dir=$1 deadline=$((SECONDS + $2)) cmd=$3 id tag
    id=$BASHPID-$RANDOM$RANDOM
    tag="=$id="
    echo "T='=$id'; { $cmd; }"' 2>&1 | sed "s/^/$T= /"; echo "$T=end"' >"$dir/console.in"
    until grep -q "^${tag}end" "$dir/console.log"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 1
    done
    tr -d '\r' <"$dir/console.log" | sed -n "s/^$tag //p"
}
