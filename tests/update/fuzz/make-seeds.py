#!/usr/bin/env python3
"""Writes the update-file fuzz target's seeds from the record the loopback runs serve: the whole
file as a server delivers it, its payload alone (which the target writes in blocks itself), and
payloads cut short or carrying another version.

Usage: make-seeds.py PUD_FILE_PY OUT_DIR"""
import importlib.util
import os
import sys


def main(argv):
    spec = importlib.util.spec_from_file_location("pud_file", argv[1])
    pud = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(pud)
    os.makedirs(argv[2], exist_ok=True)
    record = pud.record()
    seeds = {
        "file.pud": pud.pud_bytes(),
        "record.bin": record,
        "strings.bin": record[:200],
        "version.bin": b"101" + record[3:],
    }
    for name, data in seeds.items():
        with open(os.path.join(argv[2], name), "wb") as out:
            out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
