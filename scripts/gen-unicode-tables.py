#!/usr/bin/env python3
"""Writes apfs/unicode_tables.c: the canonical decomposition and simple lowercase tables that the
directory-name hash needs, and the code points that case folding maps although they have no simple
lowercase mapping (U+00B5 to U+03BC and the like), which the file system folds all the same.

The on-disk hashes were defined on the Unicode 6.1-6.3 character data, so every character, and
every mapping target, assigned after 6.3 is left out, whatever version of the data is installed.
Input: Debian's unicode-data package (UnicodeData.txt, DerivedAge.txt, CaseFolding.txt).

    scripts/gen-unicode-tables.py [UNICODE_DIR] > apfs/unicode_tables.c
"""
import sys

UNICODE_DIR = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
MAX_AGE = (6, 3)
DECOMP_LIMIT = 0x2FA1E  # first code point after the last canonical decomposition
LOWER_LIMIT = 0x10428  # first code point after the last lowercase mapping
BLOCK = 64
HANGUL_FIRST, HANGUL_COUNT = 0xAC00, 11172

# The sizes the hash tables of the file system were built with. The filter decides them, so a
# mismatch means characters were kept or dropped wrongly.
EXPECTED = {
    "decomp_stage1_used": 3049,
    "decomp_stage2": 4896,
    "lower_stage1_used": 1041,
    "lower_stage2": 2600,
    "fold_only": 13,
}


def records(name):
    """The fields of each record of a Unicode data file with # comments, blanks dropped."""
    with open(f"{UNICODE_DIR}/{name}", encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [x.strip() for x in line.split(";")]


def read_ages():
    ages = {}
    for cps, age in records("DerivedAge.txt"):
        age = tuple(int(x) for x in age.split("."))
        lo, _, hi = cps.partition("..")
        for cp in range(int(lo, 16), int(hi or lo, 16) + 1):
            ages[cp] = age
    return ages


def read_unicode_data():
    decomp, lower = {}, {}
    with open(f"{UNICODE_DIR}/UnicodeData.txt", encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            if fields[5] and not fields[5].startswith("<"):
                decomp[cp] = [int(x, 16) for x in fields[5].split()]
            if fields[13]:
                lower[cp] = int(fields[13], 16)
    return decomp, lower


def read_common_case_folding():
    """The status C (common) mappings: one code point to one code point."""
    fold = {}
    for cp, status, target, *_ in records("CaseFolding.txt"):
        if status == "C":
            fold[int(cp, 16)] = int(target, 16)
    return fold


def round_up(n, m):
    return (n + m - 1) // m * m


def two_stage(values, limit, empty):
    """Stage 1: one u8 per 64-code-point block naming a stage-2 block; stage-2 block 0 is empty.
    Identical blocks are shared; the last block stops after the limit (rounded up to 8)."""
    used = (limit + BLOCK - 1) // BLOCK
    blocks, index, stage1 = [tuple([empty] * BLOCK)], {}, []
    index[blocks[0]] = 0
    for b in range(used):
        block = tuple(values.get(cp, empty) for cp in range(b * BLOCK, b * BLOCK + BLOCK))
        if block not in index:
            index[block] = len(blocks)
            blocks.append(block)
        stage1.append(index[block])
    assert len(blocks) <= 256
    stage2 = [v for block in blocks for v in block]
    last = blocks[stage1[-1]]
    if stage1[-1] == len(blocks) - 1 and stage1.count(stage1[-1]) == 1:
        keep = round_up(limit - (used - 1) * BLOCK, 8)
        assert all(v == empty for v in last[keep:])
        del stage2[len(stage2) - BLOCK + keep :]
    return stage1, stage2


def emit(name, ctype, values, per_line, fmt):
    out = [f"const {ctype} {name}[{len(values)}] = {{"]
    for i in range(0, len(values), per_line):
        out.append("    " + " ".join(fmt(v) + "," for v in values[i : i + per_line]))
    out.append("};")
    return "\n".join(out)


def main():
    ages = read_ages()
    decomp, lower = read_unicode_data()

    def assigned(cp):
        return ages.get(cp, (99,)) <= MAX_AGE

    def full_decomposition(cp):
        if cp not in decomp or not assigned(cp) or not all(assigned(x) for x in decomp[cp]):
            return [cp]
        return [y for x in decomp[cp] for y in full_decomposition(x)]

    runs = {}
    for cp in decomp:
        if cp < DECOMP_LIMIT and not HANGUL_FIRST <= cp < HANGUL_FIRST + HANGUL_COUNT:
            run = full_decomposition(cp)
            if run != [cp]:
                assert 1 <= len(run) <= 4
                runs[cp] = run

    # Code points of every run, each once; runs share stretches of one sequence of indices.
    cps = sorted({x for run in runs.values() for x in run})
    cp_index = {cp: i for i, cp in enumerate(cps)}
    sequence = []
    start = {}
    for run in sorted({tuple(r) for r in runs.values()}, key=lambda r: (-len(r), r)):
        idx = [cp_index[x] for x in run]
        for i in range(len(sequence) - len(idx) + 1):
            if sequence[i : i + len(idx)] == idx:
                start[run] = i
                break
        else:
            start[run] = len(sequence)
            sequence.extend(idx)
    assert len(sequence) < 1 << 14 and len(cps) < 1 << 16
    decomp_values = {cp: (len(run) - 1) << 14 | start[tuple(run)] for cp, run in runs.items()}
    d1, d2 = two_stage(decomp_values, DECOMP_LIMIT, 0)

    deltas = {}
    for cp, lc in lower.items():
        if cp < LOWER_LIMIT and assigned(cp) and assigned(lc):
            deltas[cp] = lc - cp
    delta_table = [0] + sorted(set(deltas.values()))
    delta_index = {d: i for i, d in enumerate(delta_table)}
    l1, l2 = two_stage({cp: delta_index[d] for cp, d in deltas.items()}, LOWER_LIMIT, 0)

    # Where a code point has a lowercase mapping, case folding agrees with it; the rest of the
    # case folding goes into its own table.
    fold_only = {}
    for cp, target in read_common_case_folding().items():
        if not assigned(cp) or not assigned(target):
            continue
        if cp in deltas:
            assert cp + deltas[cp] == target, hex(cp)
        else:
            fold_only[cp] = target

    sizes = {
        "decomp_stage1_used": len(d1),
        "decomp_stage2": len(d2),
        "lower_stage1_used": len(l1),
        "lower_stage2": len(l2),
        "fold_only": len(fold_only),
    }
    for key, want in EXPECTED.items():
        if sizes[key] != want:
            sys.exit(f"gen-unicode-tables: {key} is {sizes[key]}, expected {want}")
    sys.stderr.write(
        "gen-unicode-tables: %d decompositions (sequence %d, code points %d), "
        "%d lowercase mappings (%d deltas), %d folds without one; stage sizes %s\n"
        % (len(runs), len(sequence), len(cps), len(deltas), len(delta_table), len(fold_only), sizes)
    )

    print("/* Generated by scripts/gen-unicode-tables.py from the Unicode character database,")
    print(" * keeping characters assigned in Unicode 6.3 or earlier. Do not edit. */")
    print('#include "unicode_tables.h"')
    print()
    print(f"const uint32_t apfs_decomp_limit = 0x{DECOMP_LIMIT:X};")
    print(f"const uint32_t apfs_lower_limit = 0x{LOWER_LIMIT:X};")
    print()
    print(emit("apfs_decomp_stage1", "uint8_t", d1, 16, lambda v: f"{v:3d}"))
    print()
    print(emit("apfs_decomp_stage2", "uint16_t", d2, 8, lambda v: f"0x{v:04X}"))
    print()
    print(emit("apfs_decomp_sequence", "uint16_t", sequence, 10, lambda v: f"{v:4d}"))
    print()
    print(emit("apfs_decomp_codepoints", "uint32_t", cps, 8, lambda v: f"0x{v:05X}"))
    print()
    print(emit("apfs_lower_stage1", "uint8_t", l1, 16, lambda v: f"{v:3d}"))
    print()
    print(emit("apfs_lower_stage2", "uint8_t", l2, 16, lambda v: f"{v:3d}"))
    print()
    print(emit("apfs_lower_deltas", "int32_t", delta_table, 8, lambda v: f"{v:6d}"))
    print()
    print(f"const uint32_t apfs_fold_only_count = {len(fold_only)};")
    print(f"const uint32_t apfs_fold_only[{len(fold_only)}][2] = {{")
    for cp in sorted(fold_only):
        print(f"    {{0x{cp:05X}, 0x{fold_only[cp]:05X}}},")
    print("};")


main()
