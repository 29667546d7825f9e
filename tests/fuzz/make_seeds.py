#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/seed-*.

Found cases are added beside them by hand (as found-*), never by this script."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as out:
        out.write(data)


# The configuration file: header (version, count, period), then one record per device.
def record(description, serial, device_type, link, baud, port, address, energy=0, gas=0,
           timestamp=0, ri=0, start_delay=0, with_delay=True):
    text = description.encode("cp1251")
    data = struct.pack("<I", len(text)) + text + bytes([0, 0, serial >> 8, serial & 0xFF])
    data += bytes([device_type, link, baud, port, address, energy, gas, timestamp, ri])
    data += struct.pack("<H", 0) + bytes(4) + bytes(6) + bytes(50)
    if with_delay:
        data += struct.pack("<H", start_delay)
    return data


def config(version, period, records):
    return struct.pack("<fII", version, len(records), period) + b"".join(records)


write("config", "two-devices", config(1.08, 60, [
    record("Котельная №1", 0x12AB, 4, 2, 4, 3, 1, energy=1, ri=1, start_delay=500),
    record("ЦТП", 0x0A1B, 1, 1, 3, 1, 0, timestamp=1)]))
write("config", "every-model", config(1.08, 120, [
    record("Узел %d" % t, 0x0A00 + t, t, 2, 3, 2, t, gas=t % 2, timestamp=t % 3, ri=1)
    for t in range(1, 6)]))
write("config", "old-format", config(1.01, 30, [
    record("Old", 0x0001, 2, 1, 2, 5, 0, with_delay=False)]))
write("config", "empty", config(1.08, 0, []))


# The device target: model, line (bit 0 RS-485, then the timestamp source, then the retry
# limit), selection flags, reads, then the station's answer to each request.
def reply(data):
    return bytes([0, len(data)]) + data


def device_error():
    return bytes([3, 0])


def pattern(size, start):
    return bytes((start + 7 * i) & 0xFF for i in range(size))


def device(model, steps, selection=1, reads=0, line=1 | (2 << 1)):
    return bytes([model - 1, line]) + struct.pack("<I", selection) + bytes([reads]) + b"".join(steps)


full = [reply(pattern(255, i)) for i in range(24)]
write("device", "kmt", device(1, full, line=0))
write("device", "kmt-status-words",
      device(1, full + [reply(pattern(8, i)) for i in range(12)], selection=1 | (1 << 5)))
for model, name in ((2, "kmt-v"), (3, "kmt-g"), (4, "kmt-u"), (5, "kmt-uv")):
    identity = reply(b"F" + pattern(40, model))
    channels = [reply(pattern(16, 40 + c)) for c in range(2)]
    nodes = [reply(bytes([0x12, 0x30]) + pattern(30, 90))]
    values = [reply(pattern(255, 100 + i)) for i in range(14)]
    write("device", name, device(model, [identity] + channels + [device_error()] + nodes +
                                 [device_error()] + values, reads=1))


# The OPC target: one operation byte, then its arguments in the order the target takes them.
class Calls:
    def __init__(self):
        self.data = bytearray()

    def u8(self, *values):
        self.data += bytes(values)
        return self

    def u16(self, value):
        self.data += struct.pack("<H", value)
        return self

    def u32(self, value):
        self.data += struct.pack("<I", value)
        return self

    def item_text(self, slot):  # an item ID of the catalogue by slot
        return self.u8(0).u16(slot)

    def empty_text(self):
        return self.u8(4)

    def add_group(self, server, branch, rate_index=3, deadband=0):
        self.u8(0, server).u16(1000).u8(0)   # server, bias, IID_IOPCGroupStateMgt
        self.u8(2, branch, 1, rate_index).u32(77).u8(1, deadband, 1)
        return self

    def add_items(self, slots, vartype=0):
        self.u8(2, 0, len(slots) - 1)
        for i, slot in enumerate(slots):
            self.empty_text().item_text(slot).u8(1).u32(101 + i).u8(vartype)
        return self.u8(1)                    # the whole array

    def advise(self):
        return self.u8(18, 0)

    def refresh(self, source):
        return self.u8(14, 0, source - 1).u32(5)

    def async_read(self, count):
        self.u8(13, 0, count - 1)
        for i in range(count):
            self.u8(i)
        return self.u8(1).u32(9)

    def sync_read(self, count, source):
        self.u8(11, 0, count - 1)
        for i in range(count):
            self.u8(i)
        return self.u8(1, 1, source - 1)

    def drain(self):
        return self.u8(33, 3)

    def poll_cycle(self):
        return self.u8(33, 2)

    def properties(self, which, slot, ids):
        self.u8(26, which, 0, len(ids) - 1, *ids).u8(1)
        return self.item_text(slot)

    def browse_flat(self):
        return self.u8(23, 0, 2).empty_text().u8(0, 0, 0, 7, 1, 2, 0, 2)


write("opc", "subscribe-refresh-read", bytes(
    Calls().add_group(0, 0).add_items([3, 4, 5]).advise().refresh(1).drain()
    .poll_cycle().drain().async_read(2).poll_cycle().drain().sync_read(2, 1).data))
write("opc", "device-read-deadband", bytes(
    Calls().add_group(1, 1, deadband=42).add_items([3, 20, 40], vartype=3).advise()
    .sync_read(3, 2).refresh(2).poll_cycle().drain().data))
write("opc", "browse-properties", bytes(
    Calls().browse_flat().properties(1, 3, [1, 2, 3, 4, 5, 6]).properties(0, 4, [1])
    .properties(2, 5, [1, 2]).data))
