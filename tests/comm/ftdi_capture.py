#!/usr/bin/env python3
"""Writes a USB capture (pcap, usbmon memory-mapped layout) of the FT232R in ftdi_ft232r.umockdev
answering the requests libusb makes for its product and serial strings, for umockdev to replay.

Each string costs two control transfers: the language ids (4 bytes asked), then the string."""
import struct
import sys

BUS, DEVICE = 1, 2
STRINGS = ((2, "M30 Dosimeter"), (3, "FT12AB"))


def header(event, urb_id, urb_len, data_len, setup=bytes(8)):
    has_setup = b"\0" if event == "S" else b"-"
    has_data = b"<" if event == "S" else b"\0"
    return struct.pack("<QBBBBHccqiiII8siiII", urb_id, ord(event), 2, 0, DEVICE, BUS, has_setup,
                       has_data, 1, 0, 0, urb_len, data_len, setup, 0, 0, 0, 0)


def control_in(urb_id, value, index, length, answer):
    setup = struct.pack("<BBHHH", 0x80, 6, value, index, length)
    return [header("S", urb_id, length, 0, setup),
            header("C", urb_id, len(answer), len(answer)) + answer]


def string_descriptor(text):
    data = text.encode("utf-16-le")
    return bytes([2 + len(data), 3]) + data


packets = []
for n, (index, text) in enumerate(STRINGS):
    packets += control_in(0x100 + 2 * n, 0x0300, 0, 4, bytes([4, 3, 0x09, 0x04]))
    packets += control_in(0x101 + 2 * n, 0x0300 | index, 0x0409, 255, string_descriptor(text))

with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 220))  # 220: usbmon, mmapped
    for p in packets:
        out.write(struct.pack("<IIII", 1, 0, len(p), len(p)) + p)
