#!/usr/bin/env python3
"""Writes the hand-made seeds of the corpora under fuzz/corpus/ (run it again
after changing it). The files with hash names beside them are inputs that
fuzzing runs found and `-merge=1` kept (see fuzz/run.sh).

requestparser: one connection's reads; each read is a length byte n and n
bytes, or 255, a 16-bit little-endian length and that many bytes.
sectionreader: whole sections in the monitor's layout, sound and hostile.
"""
import hashlib
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def reads(*chunks):
    out = bytearray()
    for chunk in chunks:
        if len(chunk) < 255:
            out += bytes([len(chunk)]) + chunk
        else:
            out += bytes([255]) + struct.pack('<H', len(chunk)) + chunk
    return bytes(out)


def reading_hash(label, sensor):
    return hashlib.sha1((label + ':' + str(sensor)).encode()).hexdigest().encode()


H1, H2, H3 = reading_hash('CPU Package', 1), reading_hash('Fan 1', 0), reading_hash('Vcore', 1)

REQUESTS = {
    'one': reads(b'v2gd::' + H1 + b';'),
    'two': reads(b'v2gd::' + H1 + b';v2gd::' + H2 + b';'),
    'no-prefix-second': reads(b'v2gd::H1;H2;'),
    'empty-part': reads(b'v2gd::H1;;v2gd::H2;'),
    'no-terminator': reads(b'v2gd::H1'),
    'second-unfinished': reads(b'v2gd::H1;v2gd::H2'),
    'empty-hash': reads(b'v2gd::;'),
    'prefix-only': reads(b'v2gd::'),
    'outdated': reads(b'get::v2gd::H1;'),
    'outdated-late': reads(b'v2gd::H1;get::'),
    'upper-case': reads(b'V2GD::H1;'),
    'split-in-hash': reads(b'v2gd::' + H1[:17], H1[17:] + b';v2gd::' + H2 + b';'),
    'split-in-prefix': reads(b'v2g', b'd::' + H3 + b';'),
    'split-three': reads(b'v', b'2gd::' + H1, b';v2gd::' + H2[:3], H2[3:] + b';'),
    'zero-byte': reads(b'v2gd::' + H1 + b';v2gd::' + H2 + b'\0;v2gd::x;', b'v2gd::' + H3 + b';'),
    'garbage-then-request': reads(b'hello', b'v2gd::' + H1 + b';'),
    'byte-order-mark': reads(b'\xef\xbb\xbfv2gd::' + H1 + b';'),
    'invalid-utf8': reads(b'v2gd::\xff\xfe\xc3(;v2gd::\xe2\x82;'),
    'batch-over-cap': reads(b''.join(b'v2gd::' + H1 + b';' for _ in range(100))),
    'long-unfinished': reads(b'v2gd::' + b'a' * 5000, b'b;v2gd::' + H2 + b';'),
    'empty-reads': reads(b'', b'v2gd::' + H1 + b';', b''),
}


def section(sensors, readings, element_size=292, sensor_size=136, tail=b''):
    sensor_offset = 44
    reading_offset = sensor_offset + len(sensors) * sensor_size
    header = bytearray(20) + struct.pack('<6I', sensor_offset, sensor_size, len(sensors),
                                         reading_offset, element_size, len(readings))
    body = bytearray()
    for name in sensors:
        body += (bytes(8) + name + b'\0').ljust(sensor_size, b'\0')
    for sensor, label, unit, value in readings:
        element = bytearray(element_size)
        struct.pack_into('<i', element, 4, sensor)
        element[12:12 + len(label)] = label
        element[268:268 + len(unit)] = unit
        struct.pack_into('<d', element, 284, value)
        body += element
    return bytes(header + body) + tail


def with_header(data, **fields):
    names = ['sensorSectionOffset', 'sensorElementSize', 'sensorCount',
             'readingSectionOffset', 'readingElementSize', 'readingCount']
    data = bytearray(data)
    for name, value in fields.items():
        struct.pack_into('<I', data, 20 + 4 * names.index(name), value)
    return bytes(data)


SENSORS = [b'Motherboard', b'CPU [#0]: Demo', b'GPU [#0]: Demo']
READINGS = [(0, b'System Fan', b'RPM', 1180.0), (1, b'CPU Package', b'\xb0C', 53.25),
            (1, b'Core Clock', b'MHz', 4389.7), (2, b'GPU Load', b'%', 0.0), (1, b'', b'', -1.5e300)]
sound = section(SENSORS, READINGS)

SECTIONS = {
    'empty-section': section([], []),
    'sound': sound,
    'wide-stride': section(SENSORS, READINGS, element_size=316),
    'short-view': sound[:30],
    'header-only': sound[:44],
    'stride-zero-huge-count': with_header(sound, readingElementSize=0, readingCount=0xFFFFFFFF),
    'sensor-stride-zero': with_header(sound, sensorElementSize=0, sensorCount=0xFFFFFFFF),
    'offsets-past-view': with_header(sound, sensorSectionOffset=0xFFFFFF00, readingSectionOffset=len(sound) + 1),
    'element-crosses-end': sound[:len(sound) - 100],
    'text-to-end': with_header(sound + b'x' * 40, sensorSectionOffset=len(sound) - 8, sensorCount=1,
                               readingSectionOffset=len(sound) + 40 - 292 + 12, readingCount=1),
    'huge-stride': with_header(sound, readingElementSize=0xFFFFFFFF, readingCount=3),
    'small-stride': with_header(sound, readingElementSize=8, readingCount=1000),
}


def write(folder, seeds):
    target = HERE / 'corpus' / folder
    target.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (target / name).write_bytes(data)


write('requestparser', REQUESTS)
write('sectionreader', SECTIONS)
