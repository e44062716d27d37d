#!/bin/sh
# Remakes the small captures a reader can open in Wireshark, one per link
# and one of a misbehaving meter, under tests/wireshark/samples. They are
# cut out of the captures the dissector tests make of their own loopback
# traffic (a short session of the unit with the meter and the test station,
# and the misbehaving meter).
#
#   tools/wireshark/make-samples.sh [BUILD_DIR]     (default: build/host)
#
# Needs the dissector tests built in BUILD_DIR, tcpdump and tshark, and
# root (tcpdump on lo).
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
dissector="$here/tools/wireshark/kelunit.lua"
out="$here/tests/wireshark/samples"

# The TCP stream of <capture> whose frames match <filter> (the last one).
stream_of() {
    tshark -n -r "$1" -X lua_script:"$dissector" -Y "$2" -T fields -e tcp.stream 2>/dev/null |
        tail -n 1
}

# Writes the stream of <capture> matching <filter> to <file>.
cut_stream() {
    s=$(stream_of "$1" "$2")
    [ -n "$s" ] || { echo "no stream matches $2 in $1" >&2; exit 1; }
    tshark -n -r "$1" -Y "tcp.stream == $s" -F pcapng -w "$3" 2>/dev/null
    echo "wrote $3"
}

main() {
    bin="${1:-$here/build/host}/bin"
    for t in wireshark_test_session wireshark_test_misbehaviour; do
        [ -x "$bin/$t" ] || { echo "$bin/$t is not built" >&2; exit 1; }
    done
    work=$(mktemp -d /tmp/kelsamples.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    KEL_WIRESHARK_SAMPLES="$work" "$bin/wireshark_test_session" >"$work/session.log" 2>&1 ||
        { cat "$work/session.log" >&2; exit 1; }
    KEL_WIRESHARK_SAMPLES="$work" "$bin/wireshark_test_misbehaviour" >"$work/bad.log" 2>&1 ||
        { cat "$work/bad.log" >&2; exit 1; }
    [ -s "$work/session.pcap" ] && [ -s "$work/misbehaviour.pcap" ] ||
        { echo "the tests kept no capture (run as root with tcpdump and tshark)" >&2; exit 1; }
    mkdir -p "$out"
    # The screen link's second connection: a few rectangles, a key.
    cut_stream "$work/session.pcap" "kelfb.cmd == 4" "$out/kelfb.pcapng"
    cut_stream "$work/session.pcap" "kelstp.cmd == 1" "$out/kelstp.pcapng"
    cut_stream "$work/session.pcap" "kelns.cmd == 7" "$out/kelns.pcapng"
    cut_stream "$work/session.pcap" "kelind.cmd == 0" "$out/kelind.pcapng"
    tshark -n -r "$work/misbehaviour.pcap" -Y tcp -F pcapng -w "$out/kelunit-bad.pcapng" 2>/dev/null
    echo "wrote $out/kelunit-bad.pcapng"
}

main "$@"
