#!/usr/bin/env python3
"""Writes the seed corpora under tests/fuzz/corpus/: default and damaged
settings files, real command lines, real XModem blocks and SLIP frames."""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18


def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def block(number, payload, size, use_crc=True):
    data = payload.ljust(size, b"\0")[:size]
    start = SOH if size == 128 else STX
    head = bytes([start, number & 0xFF, ~number & 0xFF]) + data
    if use_crc:
        return head + struct.pack(">H", crc16(data))
    return head + bytes([sum(data) & 0xFF])


def field(text, width):
    return text.encode().ljust(width, b"\0")[:width]


def record(device="NaN", pin=0, baud=1000000, image="NaN", erase=0, verify=1, keep_sys=0,
           keep_wifi=0, offset="0x0000"):
    return (field(device, 100) + struct.pack("<ii", pin, baud) + field(image, 512) +
            struct.pack("<iiii", erase, verify, keep_sys, keep_wifi) + field(offset, 16))


def layout(rows=None):
    rows = rows or {}
    out = b""
    for number in range(1, 11):
        path, offset = rows.get(number, ("NaN", "NaN"))
        out += struct.pack("<i", number) + field(path, 512) + field(offset, 100)
    return out


def slip(data):
    return data.replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")


def settings():
    full = record(device="/dev/ttyUSB0", image="/srv/images/flash_is.bin", erase=1,
                  keep_sys=1, keep_wifi=1, offset="0x00010000")
    return {
        "record-default": record(),
        "record-set": full,
        "record-short": full[:300],
        "record-long": full + b"trailing bytes" * 50,
        "record-no-terminators": b"A" * 652,
        "record-extreme-numbers": record(pin=-255, baud=-2147483648, erase=2147483647),
        "generate-default": layout(),
        "generate-set": layout({1: ("/srv/part.bin", "0x0000"), 2: ("/srv/sys.bin", "0x1000"),
                                4: ("/srv/app.bin", "0x00010000")}),
        "generate-short": layout()[:1000],
        "generate-bad-numbers": b"".join(struct.pack("<i", n) + b"\xff" * 612
                                         for n in (0, -1, 11, 2**31 - 1, 5, 5, 0, 0, 0, 0)),
        "empty": b"",
    }


def cli():
    lines = [
        ["-help"], ["-show", "device"], ["-show", "setting"], ["-show", "generate"],
        ["-scan", "device"], ["-add", "device", "/dev/ttyUSB0"],
        ["-set", "image", "/srv/flash_is.bin"], ["-set", "baudrate", "1000000"],
        ["-set", "hash_verify", "1"], ["-set", "keep_sys_data", "0"],
        ["-set", "keep_wifi_data", "1"], ["-set", "flash_offset", "0x00000000"],
        ["-set", "chip_erase", "1"], ["-erase", "chip"],
        ["-erase", "sector", "0x00004000", "1000"], ["-download"],
        ["-set", "generate_bin", "1", "part.bin", "0x0000"], ["-generate"],
        ["-set", "image", "x" * 600], ["-set", "generate_bin", "11", "a", "0"],
    ]
    return {"cmd-%02d" % i: "\0".join(words).encode() for i, words in enumerate(lines)}


def host_xmodem():
    first = block(1, b"partition table " * 8, 1024)
    second = block(2, bytes(range(256)) * 4, 1024)
    def dest(n):
        return struct.pack(">H", n)
    return {
        "two-blocks": dest(2048) + first + second + bytes([EOT]),
        "short-destination": dest(1000) + first + second + bytes([EOT]),
        "repeat": dest(4096) + first + first + second + bytes([EOT]),
        "checksum-128": dest(256) + block(1, b"small", 128, use_crc=False) + bytes([EOT]),
        "crc-128": dest(256) + block(1, b"small", 128) + bytes([EOT]),
        "bad-crc": dest(2048) + first[:-1] + b"\x00" + first + bytes([EOT]),
        "cancel": dest(2048) + first + bytes([CAN, CAN]),
        "wrong-number": dest(2048) + block(3, b"x", 1024) + bytes([EOT]),
    }


def slip_frames():
    reply = bytes([0x01, 0x08, 0x02, 0x00, 0xC0, 0xDB, 0x00, 0x00])
    framed = slip(reply)
    def head(n, delimiters):
        return struct.pack(">H", (n % 4096) | (0x8000 if delimiters else 0))
    return {
        "reply": head(len(reply), False) + framed,
        "reply-delimited": head(len(reply), True) + b"\xc0" + framed + b"\xc0",
        "bad-escape": head(4, False) + b"\xdb\x01\x02\x03",
        "long": head(300, False) + slip(bytes(range(256)) + bytes(44)),
    }


def sim_commands():
    lines = ["DW 40000038", "EW 40002800 7EFFFFFF", "ping", "ucfg 1000000 0 0", "ceras 0 0",
             "seras 4000 1000 0 0", "seras 4000 0x1000 0 1", "fwd 0 0 10000",
             "hashq 4096 0 0", "hashq 0x1000 0 1", "DW\t40000038 ", "seras 0 99999999999999999999 0 0"]
    return {"line-%02d" % i: line.encode() for i, line in enumerate(lines)}


def sim_xmodem():
    def burst(data):
        return struct.pack(">H", len(data)) + data
    one = block(1, b"application " * 80, 1024)
    two = block(2, b"\xaa" * 1024, 1024)
    plain = block(1, b"checksum", 1024, use_crc=False)
    return {
        "crc-transfer": bytes([0x01, 63, 0, 0]) + burst(one) + burst(two) + burst(bytes([EOT])),
        "checksum-transfer": bytes([0x00, 63, 0, 0]) + burst(plain) + burst(bytes([EOT])),
        "small-blocks": bytes([0x01, 0, 0, 0]) + burst(block(1, b"a", 128)) + burst(bytes([EOT])),
        "past-the-end": bytes([0x01, 0, 3, 0]) + burst(one) + burst(two) + burst(bytes([EOT])),
        "repeat-and-cancel": bytes([0x01, 63, 0, 0]) + burst(one) + burst(one) +
                             burst(bytes([CAN, CAN])),
        "silent-after-one": bytes([0x31, 63, 0, 0]) + burst(one) + burst(two) + burst(b""),
        "hang-up": bytes([0xA1, 63, 0, 0]) + burst(one) + burst(two),
        "noise-then-block": bytes([0x01, 63, 0, 0]) + burst(b"garbage") + burst(one) +
                            burst(bytes([EOT])),
    }


def host_replies():
    def piece(data, more=False, delay=None):
        assert len(data) <= 63
        head = len(data) | (0x40 if more else 0) | (0x80 if delay is not None else 0)
        return bytes([head]) + (bytes([delay]) if delay is not None else b"") + data

    def image(size_byte):
        size = 1 + size_byte * size_byte // 4
        return bytes((i * 31 + 7) & 0xFF for i in range(size))

    word = b"0x40000038 = 0x00000000\r\n"
    connect = piece(b"") + piece(word) + piece(b"ping") + piece(b"OK") + piece(b"") + piece(b"OK")
    # The NAK that accepts the write, then the receiver's 'C' after a silence
    # longer than the read window.
    ready = piece(bytes([NAK]), more=True) + piece(b"C", delay=100)

    def download(options, size_byte, erase=False, digest=False):
        blocks = (len(image(size_byte)) + 1023) // 1024
        script = connect + (piece(b"OK") if erase else b"") + ready
        script += piece(bytes([ACK])) * blocks + piece(bytes([ACK]) + b"OK")
        if digest:
            script += piece(b"SHA256" + hashlib.sha256(image(size_byte)).digest())
        return bytes([options, size_byte, 0]) + script

    return {
        "download": download(0x00, 40),
        "download-erase-verify": download(0x0C, 90, erase=True, digest=True),
        "download-pin1-fast": download(0xC8, 10, digest=True),
        "chip-erase": bytes([0x02, 0, 0]) + connect + piece(b"OK"),
        "sector-erase": bytes([0x03, 0, 2]) + connect + piece(b"OK", delay=150),
        "no-ping": bytes([0x00, 0, 0]) + piece(b"") + piece(word) + piece(b"pong"),
        "refused-config": bytes([0x02, 0, 0]) + connect[:-3] + piece(b"ERR ucfg refused\r\n"),
        "hang-up": bytes([0x00, 40, 0]) + connect + bytes([0xFF]),
        "stopped-in-transfer": bytes([0x00, 90, 8 << 3]) + connect + ready + piece(bytes([ACK])) * 4,
        "cancelled-by-chip": bytes([0x00, 90, 0]) + connect + ready + piece(bytes([CAN, CAN])),
    }


def gui_text():
    texts = ["0x1000", "00010000", "FF", "ff", "zz", "-80000000", "7FFFFFFF", "80000000",
             " 0x12", "0xEF4016", "", "100", "+0x7f"]
    return {"text-%02d" % i: t.encode() for i, t in enumerate(texts)}


def main():
    targets = {
        "settings": settings(), "cli": cli(), "host_xmodem_receive": host_xmodem(),
        "slip_receive": slip_frames(), "sim_command": sim_commands(),
        "sim_xmodem": sim_xmodem(), "gui_text": gui_text(), "host_replies": host_replies(),
    }
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus")
    for target, seeds in targets.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
