#!/usr/bin/env python3
"""Writes the seed inputs of the register_rows fuzzer from a register's database, in the
fuzzer's input form: one byte choosing the intake, then each column's value in schema
order (row keys left out), invoices followed by a count of rows and the rows.

    fuzz/make_seeds.py REGISTER_DB CORPUS_DIR

A register the stand-in rang up, read cards, changed barcodes and customers at and
issued invoices from (cassasync-register ring/card/article/customer/invoice) gives a seed
of every intake."""
import sqlite3
import struct
import sys
from pathlib import Path


def value(v):
    if v is None:
        return b"\x00"
    if isinstance(v, int):
        return b"\x01" + struct.pack(">q", v)
    if isinstance(v, float):
        return b"\x03" + struct.pack(">d", v)
    data = (v if isinstance(v, bytes) else str(v).encode("utf-8"))[:255]
    return b"\x04" + bytes([len(data)]) + data


def columns(db, table):
    return [r[1] for r in db.execute(f"PRAGMA table_info({table})") if r[5] == 0]


def row_bytes(db, table, where, params=()):
    cols = columns(db, table)
    out = []
    for row in db.execute(f"SELECT {','.join(cols)} FROM {table} WHERE {where}", params):
        out.append(b"".join(value(v) for v in row))
    return out


def main():
    db = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
    out = Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    seeds = []
    for intake, table, where in ((0, "movimenti", "1"), (1, "codean", "flagagg = 'A'"),
                                 (2, "clienti", "flagagg = 'A'"), (3, "cartetxrx", "1")):
        seeds += [bytes([intake]) + r for r in row_bytes(db, table, where)][:4]
    for numero, anno in db.execute("SELECT numero, anno FROM fatte").fetchall()[:3]:
        header = row_bytes(db, "fatte", "numero = ? AND anno = ?", (numero, anno))[0]
        rows = row_bytes(db, "fatmo", "bnumer = ? AND bannoc = ?", (numero, anno))[:3]
        seeds.append(bytes([4]) + header + bytes([len(rows)]) + b"".join(rows))
    for i, seed in enumerate(seeds):
        (out / f"seed-{i:02d}").write_bytes(seed)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
