#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<name>/.

Each seed is a valid input of its kind (frames the meter sends, files the
unit reads, records a program posts), with a few broken ones beside them.
Run from anywhere; the files are committed, this only re-creates them.
The upgrade package seeds come from the package builder (see corpus/upg).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = 0xB45329C7


def frame(cmd, payload=b"", tid=1, length=None):
    body = struct.pack("<i", cmd) + payload
    if length is None:
        length = 12 + len(body)
    return struct.pack("<III", MAGIC, length, tid) + body


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def pattern(cycle, duty, act, inact):
    return struct.pack("<HHHH", cycle, duty, act, inact)


def nsc():
    ok_get_data = frame(0, struct.pack("<Iii", 0, 7, 1))
    put("nsc", "session", ok_get_data
        + frame(1, struct.pack("<I", 50), 2)
        + frame(2, struct.pack("<Q", 1700000000), 3)
        + frame(3, struct.pack("<i", 1) + pattern(1000, 50, 2, 1), 4)
        + frame(4, pattern(500, 120, 0, 0), 5)
        + frame(8, b"", 6))
    put("nsc", "refused-data-request", frame(0, struct.pack("<Iii", 0, 7, 0)))
    put("nsc", "brightness-too-high", ok_get_data + frame(1, struct.pack("<I", 101), 2))
    put("nsc", "wrong-magic", b"\x00" * 16 + ok_get_data)
    put("nsc", "oversize-length", frame(1, struct.pack("<I", 50), 2, length=4096))
    put("nsc", "half-frame", ok_get_data + frame(2, struct.pack("<Q", 1700000000))[:20])


def fbk():
    ok_data_req = frame(0, struct.pack("<Iii", 0, 1, 1))

    def rect(x, y, w, h, fill=0x5A):
        pixels = bytes([fill]) * (w * h * 2)
        return frame(2, struct.pack("<HHHH", x, y, w, h) + pixels.ljust(768, b"\x00"))

    put("fbk", "screen", ok_data_req + rect(0, 0, 16, 12) + rect(304, 228, 16, 12) + frame(3))
    put("fbk", "rect-out-of-frame", ok_data_req + rect(310, 0, 16, 12) + rect(0, 0, 20, 20) + frame(3))
    put("fbk", "refused-data-request", frame(0, struct.pack("<Iii", 0, 1, 0)))
    put("fbk", "half-rect", ok_data_req + rect(0, 0, 8, 8)[:100])
    put("fbk", "heartbeat-and-key", ok_data_req + frame(5) + frame(4, struct.pack("<ii", 103, 1)))


def stp():
    random = frame(2, struct.pack("<IQ", 123456789, 1700000000), 1)
    put("stp", "app-update", random
        + frame(3, struct.pack("<II", 1 * 256 + 9, 193), 2)
        + frame(5, struct.pack("<i", 0), 3))
    put("stp", "kernel-newer", random + frame(3, struct.pack("<II", 1 * 256 + 8, 999), 2))
    put("stp", "clock-out-of-range", frame(2, struct.pack("<IQ", 1, 0xFFFFFFFFFFFFFFFF)))
    put("stp", "heartbeat-response", frame(6) + frame(0, struct.pack("<Iii", 0, 1, 1)))
    put("stp", "oversize-length", frame(3, struct.pack("<II", 1, 1), length=53))


def conf():
    good = b"LANGUAGE 1\nBKLPWM 80\nAPP_VERSION 001.008.000\nKER_VERSION 003.002.193\nLCD 0\nWORKHOUR 16\n"
    put("conf", "typical", good + b"\0SN KEL0123456789\n")
    put("conf", "no-serial-file", good)
    put("conf", "brightness-wraps", b"BKLPWM 4294967296\nAPP_VERSION 999999.99999\n\0SN " + b"X" * 40 + b"\n")
    put("conf", "no-line-end", b"LANGUAGE\tfr\nAPP_VERSION 1.2\n\0SN")


def bmp(w, h, rgb):
    row = bytes(rgb[::-1]) * w
    pad = (4 - len(row) % 4) % 4
    pixels = (row + b"\x00" * pad) * h
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54)
    return head + info + pixels


def picto():
    put("bmp", "decode-small", b"\x00" + bmp(4, 3, (255, 0, 0)))
    put("bmp", "full-screen", b"\x01" + bmp(320, 240, (0, 0, 255)))
    put("bmp", "separate-main", b"\x02" + bmp(320, 20, (0, 255, 0)))
    put("bmp", "separate-strip", b"\x03" + bmp(320, 8, (255, 255, 0)))
    put("bmp", "offset-outside", b"\x00" + bmp(4, 3, (1, 2, 3))[:10] + struct.pack("<I", 5000) + bmp(4, 3, (1, 2, 3))[14:])
    put("bmp", "short-pixels", b"\x00" + bmp(8, 8, (9, 9, 9))[:100])


def keypad():
    def ev(code, value, typ=1):
        return struct.pack("<IIHHi", 0, 0, typ, code, value)
    put("keypad", "press-release", b"\x00" + ev(103, 1) + ev(0, 0, 0) + ev(103, 0))
    put("keypad", "combination", b"\x01" + ev(108, 1) + ev(105, 1) + ev(108, 0) + ev(105, 0))
    put("keypad", "unknown-code-and-short", b"\x00" + ev(999, 1) + ev(102, 1)[:7])


def queue():
    R, T, F, E, I = 0, 1, 2, 3, 4
    types = {R: 2, T: 3, F: 1, E: 4, I: 3}

    def rec(sel, payload, mtype=None):
        return bytes([sel, len(payload), types[sel] if mtype is None else mtype]) + payload
    put("queue", "requests", rec(R, struct.pack("<iI", 0, 50))
        + rec(R, struct.pack("<iQ", 1, 1700000000))
        + rec(R, struct.pack("<ii", 2, 1) + pattern(1000, 50, 1, 1))
        + rec(R, struct.pack("<i", 3) + pattern(200, 40, 3, 1))
        + rec(R, struct.pack("<i", 4))
        + rec(R, struct.pack("<ii", 5, 2))
        + rec(R, struct.pack("<ii", 6, 1)))
    put("queue", "modes", rec(R, struct.pack("<ii", 5, 1)) + rec(R, struct.pack("<ii", 5, 3))
        + rec(R, struct.pack("<ii", 5, 0)) + rec(R, struct.pack("<ii", 5, 4)))
    put("queue", "events", rec(T, struct.pack("<ii", 0, 41500))
        + rec(T, struct.pack("<iiQ", 1, 1001, 1700000000))
        + rec(T, struct.pack("<iii", 2, 103, 1)))
    put("queue", "frames", rec(F, struct.pack("<ii", 1, 1)) + rec(F, struct.pack("<ii", 0, 1))
        + rec(F, struct.pack("<iii", 0, 1, 0)))
    put("queue", "errors", rec(E, struct.pack("<iiiiiQ", 1, 2, 300, 1, 1001, 1700000000))
        + rec(E, struct.pack("<iiii", 1, 2, 3, 0)))
    put("queue", "station-events", rec(I, struct.pack("<ii", 0, 41500))
        + rec(I, struct.pack("<iii", 2, 103, 1)) + rec(I, struct.pack("<iiQ", 1, 1001, 1700000000)))
    put("queue", "foreign-records", rec(R, struct.pack("<iI", 0, 50), mtype=4)
        + rec(F, struct.pack("<iii", 0, 1, 0)) + rec(T, struct.pack("<ii", 0, 1) + b"\0" * 20))


def upg():
    """Damaged forms of the builder's package corpus/upg/panel0 (made by
    kelmkupg build --panel 0 --version 1.9.0 --image <300 bytes>)."""
    with open(os.path.join(HERE, "corpus", "upg", "panel0"), "rb") as f:
        good = f.read()
    put("upg", "negative-size", good[:12] + struct.pack("<i", -1) + good[16:99])
    put("upg", "offset-outside", good[:16] + struct.pack("<i", 100000) + good[20:])
    put("upg", "cut-short", good[:200])


def indust():
    """Factory station frames; the first byte set means already authenticated."""
    def req(cmd, payload=b"", tid=1, length=None):
        body = struct.pack("<ii", 1, cmd) + payload
        if length is None:
            length = 12 + len(body)
        return struct.pack("<III", MAGIC, length, tid) + body

    put("indust", "handshake-and-reads", b"\x00" + req(0, struct.pack("<I", 1))
        + struct.pack("<III", MAGIC, 24, 2) + struct.pack("<iiI", 0, 1, 12345)
        + req(16, tid=3) + req(19, tid=4) + req(3, tid=5) + req(5, tid=6) + req(7, tid=7))
    put("indust", "settings", b"\x01" + req(6, b"KEL-0042") + req(21, b"10.1.2.3", 2)
        + req(22, b"169.254.254.1", 3) + req(20, struct.pack("<i", 1), 4)
        + req(8, struct.pack("<iiQ", 1, 7, 1935817689), 5) + req(26, struct.pack("<i", 1), 6)
        + req(15, struct.pack("<i", 1), 7))
    put("indust", "hardware", b"\x01" + req(10, struct.pack("<ii", 1, 0)) + req(14, struct.pack("<i", 1), 2)
        + req(17, struct.pack("<I", 40), 3) + req(18, tid=4) + req(12, tid=5)
        + req(2, struct.pack("<Q", 1935817689), 6))
    put("indust", "gated-before-auth", b"\x00" + req(21, b"1.2.3.4;reboot") + req(6, b"$(id)", 2))
    put("indust", "oversize-length", b"\x01" + req(16, length=4000))
    put("indust", "short-time-request", b"\x01" + req(2))


if __name__ == "__main__":
    nsc()
    fbk()
    stp()
    conf()
    picto()
    keypad()
    queue()
    upg()
    indust()
