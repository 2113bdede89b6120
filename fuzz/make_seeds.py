#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus: small installers, whole and damaged.

    python3 fuzz/make_seeds.py fuzz/corpus
"""
import os
import struct
import sys
import zlib

MARKER = b'!--END FILE--!'


def record(data, declared=None, times=(125911584000000000, 125911584000000001, 125911584000000002)):
    stream = zlib.compress(data, 9)
    size = len(data) if declared is None else declared
    return struct.pack('<IIQQQ', size, len(stream), *times) + stream


def installer(records, stub=b'MZ' + bytes(62), after=b''):
    body = stub + b''.join(records)
    return body + struct.pack('<I', len(stub)) + MARKER + b'\0' + after


def manifest(*numbers):
    return ''.join('<P%d="f%d">' % (n, n) for n in numbers).encode() + b'\0'


seeds = {
    'whole': installer([record(manifest(1, 2)), record(b'MZ second stage'), record(b'data ' * 40)]),
    'signed': installer([record(manifest(1)), record(b'MZ')], after=b'\x30\x82' + bytes(98)),
    'gap': installer([record(manifest(1, 3)), record(b'one'), record(b'two'), record(b'three')]),
    'overcount': installer([record(manifest(1, 2, 3)), record(b'one'), record(b'two')]),
    'small-declared': installer([record(manifest(1)), record(b'x' * 300, declared=100)]),
    'no-trailer': b'MZ' + bytes(40) + record(manifest(1)),
}

folder = sys.argv[1] if len(sys.argv) > 1 else 'fuzz/corpus'
os.makedirs(folder, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)
