# Host-side helpers that drive an emulated unit (scripts/vm) and look at
# it: its LCD and keyboard through QMP, its LED lines through the monitor,
# its console, its card, the meter simulator's log, the station and FTP
# upload. Sourced by bash (the vm tests, the demo) after setting:
#   top          the checkout
#   WORK         a folder of this run: the unit's folder is WORK/unit, its
#                QMP socket WORK/qmp, the meter's picture WORK/screen.ppm
#   IMAGE        the image builder's output (build/vm)
#   METER_BIN, STATION_BIN, QMP_TOOL
#                the meter simulator, the station simulator, sim/vm/qmp
#   GUEST_DEADLINE_S, UPLOAD_DEADLINE_S
#                how long a console command and an FTP upload may take
# VM_PID is the running scripts/vm after start_unit.
. "$top/sim/vm/console.sh"

# The emulated board as scripts/vm and the image lay it out: the unit's
# factory address on the tap link, the host's side of that link, the LED
# class folder, and the system register holding the LED lines (bit 0
# status green, bit 1 status red, bit 2 alarm red).
UNIT_ADDR=169.254.254.2
TAP_IF=kelvm0
LED_DIR=/sys/devices/platform/leds-gpio/leds
SYS_LED_ADDR=0x10000008
GREEN_BIT=0
ALARM_BIT=2

# unit_pids: processes started for this test's unit (qemu, the meter,
# the launcher's helpers), found by the unit's folder on their command line.
unit_pids() {
    local p
    for p in /proc/[0-9]*; do
        [ "${p#/proc/}" = "$$" ] && continue
        { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -qF "$WORK/" && echo "${p#/proc/}"
    done
    return 0
}

# wait_for <seconds> <command...>: until the command succeeds
wait_for() {
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 1
    done
}

wait_gone() { wait_for "$2" sh -c "! kill -0 $1 2>/dev/null"; }

# make_screen <file>: a 320 x 240 P6 picture of eight colour bars in two
# rows, the lower row shifted, so a swapped colour order or a wrong line
# length cannot pass.
make_screen() {
    python3 - "$1" <<'EOF'
import sys
w, h = 320, 240
cols = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0),
        (0, 255, 255), (255, 0, 255), (255, 255, 255), (0, 0, 0)]
px = bytearray()
for y in range(h):
    for x in range(w):
        px += bytes(cols[(x // 40 + (y // 120) * 3 + y // 60) % 8])
open(sys.argv[1], "wb").write(b"P6\n%d %d\n255\n" % (w, h) + px)
EOF
}

# same_at_565 <shot> <sent>: the screendump shows the sent picture at the
# LCD's 16 bits per pixel (qemu widens 5 and 6 bits by shifting).
same_at_565() {
    python3 - "$1" "$2" <<'EOF'
import sys
def load(p):
    d = open(p, "rb").read()
    parts = d.split(b"\n", 3)
    w, h = map(int, parts[1].split())
    return w, h, parts[3]
try:
    wa, ha, a = load(sys.argv[1])
except (OSError, ValueError, IndexError):
    sys.exit(1)
wb, hb, b = load(sys.argv[2])
if (wa, ha) != (wb, hb) or len(a) != len(b):
    sys.exit(1)
q = lambda d, i: (d[i] >> 3, d[i + 1] >> 2, d[i + 2] >> 3)
sys.exit(0 if all(q(a, i) == q(b, i) for i in range(0, len(a), 3)) else 1)
EOF
}

qmp() { "$QMP_TOOL" "$WORK/qmp" "$@" >/dev/null; }

screen_shown() {
    rm -f "$WORK/shot.ppm"
    qmp screendump "{\"filename\":\"$WORK/shot.ppm\"}" && same_at_565 "$WORK/shot.ppm" "$WORK/screen.ppm"
}

key() { # key <qcode> <true|false>
    qmp input-send-event "{\"events\":[{\"type\":\"key\",\"data\":{\"down\":$2,\"key\":{\"type\":\"qcode\",\"data\":\"$1\"}}}]}"
}

start_unit() { # start_unit <output file>
    : >"$1"
    "$top/scripts/vm" --dir "$WORK/unit" --image "$IMAGE" --qmp "$WORK/qmp" \
        --meter-bin "$METER_BIN" --meter-opt --image --meter-opt "$WORK/screen.ppm" \
        --meter-opt --status-led --meter-opt green:1000,100,1,0 \
        --meter-opt --alarm-led --meter-opt 1000,50,1,0 \
        >"$1" 2>&1 </dev/null &
    VM_PID=$!
}

# count <pattern> <file>: lines of the file that match
count() { grep -c "$1" "$2" 2>/dev/null || true; }

# more_than <n> <pattern> <file>: more than n lines match
more_than() { [ "$(count "$2" "$3")" -gt "$1" ]; }

# guest <command>: runs a command in the unit's root shell on its serial
# console and prints its output
guest() { vm_guest "$WORK/unit" "$GUEST_DEADLINE_S" "$1"; }

# led_line <bit>: the LED line's level (0 or 1) as the board's system
# register shows it, read from the host through the monitor
led_line() {
    local word
    word=$("$QMP_TOOL" "$WORK/qmp" human-monitor-command "{\"command-line\":\"xp /1wx $SYS_LED_ADDR\"}" \
        | sed -n 's/.*: 0x\([0-9a-fA-F]*\).*/\1/p')
    [ -n "$word" ] || return 1
    echo $(((16#$word >> $1) & 1))
}

# led_toggles <bit>: the line is seen both lit and dark within a few
# seconds of sampling
led_toggles() {
    local seen=" " n=0 v
    while [ $n -lt 40 ]; do
        v=$(led_line "$1") || return 1
        case "$seen" in *" $v "*) ;; *) seen="$seen$v ";; esac
        [ "$seen" = " 0 1 " ] || [ "$seen" = " 1 0 " ] && return 0
        sleep 0.1
        n=$((n + 1))
    done
    return 1
}

# image_file <path> <out>: a file of the bank's root file system as the
# image carries it
image_file() {
    debugfs -R "dump $1 $2" "$IMAGE/bank/rootfs.img" >/dev/null 2>&1 && [ -s "$2" ]
}

# bmp_to_ppm <bmp> <ppm>: a 24-bit BMP as a P6 picture
bmp_to_ppm() {
    python3 - "$1" "$2" <<'PY'
import struct, sys
d = open(sys.argv[1], "rb").read()
off = struct.unpack_from("<I", d, 10)[0]
w, h = struct.unpack_from("<ii", d, 18)
if d[:2] != b"BM" or struct.unpack_from("<H", d, 28)[0] != 24:
    sys.exit(1)
row = (w * 3 + 3) // 4 * 4
out = bytearray()
for y in range(abs(h)):
    src = abs(h) - 1 - y if h > 0 else y
    line = d[off + src * row: off + src * row + w * 3]
    for x in range(w):
        b, g, r = line[3 * x: 3 * x + 3]
        out += bytes((r, g, b))
open(sys.argv[2], "wb").write(b"P6\n%d %d\n255\n" % (w, abs(h)) + out)
PY
}

# error_picture_shown: the LCD shows one of the two pictures the error
# indication alternates
error_picture_shown() { pictogram_shown picto_full_err_0 picto_full_err_1; }

# green_led_timer: the green LED's trigger and its two delays, as the unit's
# LED class shows them ("timer 10 10" when the kernel blinks it)
green_led_timer() {
    guest "d=$LED_DIR/status-ledgreen; echo \$(sed -n 's/.*\\[\\(.*\\)\\].*/\\1/p' \$d/trigger) \$(cat \$d/delay_on \$d/delay_off)"
}

# set_temperature <m°C>: the reading of the sensor on the I2C bus
set_temperature() {
    qmp qom-set "{\"path\":\"/machine/peripheral/temp0\",\"property\":\"temperature\",\"value\":$1}"
}

# station [--timeout MS] <command...>: the station simulator's session
station() {
    local opts=()
    if [ "$1" = --timeout ]; then opts=("$1" "$2"); shift 2; fi
    "$STATION_BIN" "${opts[@]}" "$UNIT_ADDR" "$@" 2>&1
}

card_env() { # card_env <name>: from the running unit's card, read on the host
    bash -c '. "$1/sim/vm/layout.sh"; vm_env_config "$2" >"$3"' env "$top" "$WORK/unit/sd.img" "$WORK/card.cfg"
    fw_printenv -c "$WORK/card.cfg" -n "$1" 2>/dev/null
}

confirmed_on_bank() { # confirmed_on_bank <n>
    [ "$(card_env dftmtdgrp)" = "$1" ] && [ "$(card_env actmtdgrp)" = "$1" ] && [ "$(card_env upgflag)" = 2 ]
}

# upload: the package stored into the unit's upload folder by FTP
# (anonymous, from the meter's side of the link), as a field engineer would
upload() {
    curl -sS --max-time "$UPLOAD_DEADLINE_S" -T "$WORK/pkg/kelupg.bin" "ftp://$UNIT_ADDR/up/kelupg.bin"
}

qemu_pid() {
    local p
    for p in $(unit_pids); do
        tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q '^qemu-system-arm ' && echo "$p"
    done
}

# pictogram_ppm <name>: the image's full-screen pictogram <name>.bmp as
# WORK/<name>.ppm (made once); 1 when the image has none
pictogram_ppm() {
    [ -s "$WORK/$1.ppm" ] && return 0
    image_file "/usr/share/picto/$1.bmp" "$WORK/$1.bmp" && bmp_to_ppm "$WORK/$1.bmp" "$WORK/$1.ppm"
}

# pictogram_shown <name...>: the LCD shows one of the named pictograms
# pixel for pixel (one screendump for all, so pictures that alternate are
# caught whichever is up)
pictogram_shown() {
    local name
    for name in "$@"; do pictogram_ppm "$name" || return 1; done
    rm -f "$WORK/shot.ppm"
    qmp screendump "{\"filename\":\"$WORK/shot.ppm\"}" || return 1
    for name in "$@"; do
        same_at_565 "$WORK/shot.ppm" "$WORK/$name.ppm" && return 0
    done
    return 1
}
