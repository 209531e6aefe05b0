#!/usr/bin/env python3
"""Writes zip fuzz seeds too large to keep in corpus/zip into the folder given.

big-declared-size.zip: 4 MiB of bytes that are not deflate data, declared to
inflate to 0xFFFFFFFF bytes (deflate could expand 4 MiB that far). A reader
that takes the declared size before inflating allocates 4 GiB on it.
Run the target on these with -max_len above their size (5000000).
"""
import os
import struct
import sys


def archive(name, method, data, crc, size):
    name = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x5284,
                        crc, len(data), size, len(name), 0) + name + data
    central = struct.pack("<IBBHHHHHIIIHHHHHII", 0x02014B50, 20, 3, 20, 0, method, 0,
                          0x5284, crc, len(data), size, len(name), 0, 0, 0, 0,
                          0o100644 << 16, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    return local + central + end


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "big-declared-size.zip"), "wb") as f:
        f.write(archive("big", 8, b"\xff" * (4 << 20), 0, 0xFFFFFFFF))


if __name__ == "__main__":
    main()
