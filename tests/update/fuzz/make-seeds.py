#!/usr/bin/env python3
"""Writes the update-file fuzz target's seeds from the record the loopback runs serve: the whole
file as a server delivers it, its payload alone (which the target writes in blocks itself), and
payloads cut short or carrying another version; and the download fuzz target's: the file served
behind a redirect, counted and chunked.

Usage: make-seeds.py PUD_FILE_PY OUT_DIR GET_OUT_DIR"""
import importlib.util
import os
import sys


def main(argv):
    spec = importlib.util.spec_from_file_location("pud_file", argv[1])
    pud = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(pud)
    record = pud.record()
    seeds = {
        "file.pud": pud.pud_bytes(),
        "record.bin": record,
        "strings.bin": record[:200],
        "version.bin": b"101" + record[3:],
    }
    write_all(argv[2], seeds)
    served = seeds["file.pud"]
    moved = b"HTTP/1.1 302 Found\r\nLocation: files/updates.pud\r\nContent-Length: 0\r\n\r\n{next}"
    chunked = b"".join(b"%x\r\n%s\r\n" % (len(served[i:i + 4000]), served[i:i + 4000])
                       for i in range(0, len(served), 4000))
    write_all(argv[3], {
        "counted.bin": b"\xc0\x00" + moved + b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(served)
        + served,
        "chunked.bin": b"\xc0\x01" + moved + b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked
        + b"0\r\n\r\n",
    })
    return 0


def write_all(folder, seeds):
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
