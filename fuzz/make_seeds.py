#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are frames as VELK's simulator sends them (call records of type 52, traffic reports of
type 35), a settings file as velk-settings writes it, a queue file as the billing server keeps
it, and traffic lines as the recorder writes them. Each seed starts with the decision bytes its
target reads first (see the target's source).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
STX, ETX, EOT, ENQ, ACK, NAK = b"\x02", b"\x03", b"\x04", b"\x05", b"\x06", b"\x15"

# Call-record texts of type 52 as the simulator generates them (outgoing, internal, incoming).
CALLS = [
    "52030001FFFF083311FFFF141A0C0808072D00141A0C08080D13009289FFFFFFFFFFFFFFFFFFFF"
    "01020202020003020D0402010502010D0200FF",
    "520300020003140364FFFF141A0C0808110500141A0C08081624000642948673FFFFFFFFFFFFFF"
    "0102080202010302030402010502010702070D02001408000000A61706059533FF",
    "520300030002004580FFFF141A0C0808120A00141A0C0808161D000314FFFFFFFFFFFFFFFFFFFF"
    "01020402020103020304021E0502010702060D02001408000000C7FF",
]


def frame(text, etx=True):
    """STX, three length digits L (text + 3), the text, the BCC over offsets 1..L, ETX."""
    body = b"%03X" % (len(text) + 3) + text.encode()
    bcc = 0
    for b in body:
        bcc ^= b
    return STX + body + b"%02X" % bcc + (ETX if etx else b"")


def traffic_parts(stamp="1A0C0808120F00", seed=7):
    bitmap = "".join("%02X" % ((seed * 37 + j * 11) % 256 if j % 5 == 0 else 0) for j in range(124))
    payload = bitmap + "%04X" % (seed * 13)
    parts = []
    for part in range(4):
        length = 30 if part == 3 else 74
        t = "35" + "0" * 6 + stamp[:12] + "%02X" % part + payload[part * 74 : part * 74 + length]
        while len(t) + 3 < 79:
            t += "0"
        parts.append(t)
    return parts


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def chunk(data):
    """A fuzz op that feeds `data` as one segment (op 255, 16-bit size)."""
    return b"\xff" + struct.pack(">H", len(data)) + data


def prefixed(f):
    return struct.pack(">H", len(f)) + f


def main():
    calls = [frame(t) for t in CALLS]
    traffic = [frame(t) for t in traffic_parts()]

    # The TCP splitter: flag, then segments; a reset (op 0) between polls.
    stream = b"".join(prefixed(f) + EOT for f in calls)
    write("tcp_splitter_fuzz", "records", b"\x00" + chunk(stream))
    write("tcp_splitter_fuzz", "split", b"\x00" + b"\x14" + stream[:5] + b"\x00" + chunk(stream[5:]))
    write("tcp_splitter_fuzz", "ipecs", b"\x01" + chunk(b"".join(b"\x00\x00" + f for f in calls) + NAK))

    # The link protocol: mode byte, then ops (0..23 a timer, 255 a segment).
    exchange = b""
    for f in calls + traffic:
        exchange += chunk(prefixed(f)) + chunk(EOT) + b"\x00"
    write("link_protocol_fuzz", "exchange", b"\x00" + exchange)
    write("link_protocol_fuzz", "bad_bcc", b"\x00" + chunk(prefixed(calls[0][:-3] + b"00" + ETX)) + chunk(EOT))
    write("link_protocol_fuzz", "ipecs", b"\x03" + chunk(b"\x00\x00" + calls[1]) + chunk(EOT))

    # The serial reader: the same exchange without length prefixes.
    serial = b""
    for f in calls:
        serial += chunk(f) + chunk(EOT) + b"\x00"
    write("serial_reader_fuzz", "exchange", serial)

    # The pipeline: mode byte, then (16-bit size, message without ETX).
    msgs = b"".join(struct.pack(">H", len(f) - 1) + f[:-1] for f in calls + traffic)
    write("record_pipeline_fuzz", "calls_and_traffic", b"\x00" + msgs)
    write("record_pipeline_fuzz", "decimal", b"\x3d" + msgs)

    # The saving filter: two lists, the call types, the mode, then messages.
    lists = b"\x07" + b"1-10,20" + b"\x05" + b"3,4-9"
    write("saving_filter_fuzz", "lists", lists + b"\x3f\xff" + b"\x02" + msgs)

    # The traffic recorder: (size, message, 0xFF keeping the part number as it is).
    parts = b""
    for f in traffic:
        m = f[:-1]
        parts += bytes([len(m)]) + m + b"\xff"
    write("traffic_recorder_fuzz", "report", parts)

    # The converter: mode, then a 256-byte slot; or mode 4 and an HD frame's pairs.
    slot = bytearray(256)
    slot[0:4] = b"\x01\x00\x30\x00"
    slot[11:15] = b"\x12\x34\x56\xFF"
    slot[18:34] = bytes([0x1A, 0x0C, 0x08, 0x08, 0x07, 0x2D, 0, 0] * 2)
    slot[34:46] = b"\x09\x28\x90" + b"\xFF" * 9
    slot[46:80] = b"\xFF" * 34
    write("billing_record_fuzz", "record", b"\x01" + bytes(slot))
    write("billing_record_fuzz", "hd_frame", b"\x04" + bytes(slot).hex().upper().encode())

    # The queue file: size, header (write, read, record size, capacity), slots; then ops.
    queue = struct.pack("<IIII", 2, 0, 256, 4) + bytes(slot) * 4
    write("disk_queue_fuzz", "two_records", struct.pack(">H", len(queue)) + queue + b"\x00\x80\x00\x80\x00")

    # The raw import: mode, 16-bit size, the file as the recorder writes it, read sizes.
    raw = b"".join(f[:-1] + b"\r\n" for f in calls)
    write("raw_import_fuzz", "raw_file", b"\x00" + struct.pack(">H", len(raw)) + raw + b"\x01\x00" * 4)
    # A stray byte before the second record, one after the first, and a cut-off last record.
    lines = [f[:-1] + b"\r\n" for f in calls]
    stray = lines[0][:-2] + b"X\r\n" + b"~" + lines[1] + b"".join(lines[2:]) + lines[0][:30]
    write("raw_import_fuzz", "stray_bytes", b"\x00" + struct.pack(">H", len(stray)) + stray + b"\x01\x00" * 4)

    # The traffic file: lines as the recorder writes them.
    lines = b""
    for hour in (9, 10, 23, 24):
        bits = "".join("%02X" % ((hour * 7 + j) % 256) for j in range(124))
        lines += ("2026-12-07 %02d:15:00;" % hour + bits + "0003\r\n").encode()
    write("traffic_file_fuzz", "day", lines)

    # The settings file: as velk-settings writes it.
    ini = "[Settings]\r\nIP address=127.0.0.1\r\nSite Name=VELK demo\r\nIP_Used=0100000001\r\n"
    ini += "Hex_Type=0100000001\r\n; a comment\r\n[Saver]\r\nFile Extension=csv\r\n"
    ini += 'Distributor ASCII Code=3B\r\n[Saver Filter]\r\nSCCallingSequence=" 1-10 "\r\n'
    ini += "[Serial Ports]\r\nCOM1=/dev/ttyUSB0\r\n"
    write("settings_file_fuzz", "velk_ini", ini.encode())


if __name__ == "__main__":
    main()
