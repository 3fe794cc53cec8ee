#!/usr/bin/python3
"""The benchmark table: the same rows every time, from the row number alone.

Columns: id integer, qty integer, price decimal(10,2), name varchar(20),
note varchar(60) (every tenth row NULL), d date.

  bench_table.py --rows N --tsv FILE      rows as tab-separated text, \\N for
                                          NULL (COPY and LOAD DATA format)
  bench_table.py --rows N --sqlite FILE   (re)creates the table in a SQLite
                                          database file, unless it holds N
                                          rows already
"""
import argparse
import datetime
import sqlite3
import sys

TABLE = "bench_t"
COLUMNS = ("id integer PRIMARY KEY, qty integer NOT NULL, "
           "price decimal(10,2) NOT NULL, name varchar(20) NOT NULL, "
           "note varchar(60), d date NOT NULL")

WORDS = ("amber", "basil", "cedar", "delta", "ember", "fjord", "grove",
         "harbor", "indigo", "juniper", "kelp", "lumen", "maple", "north",
         "opal", "pine", "quartz", "river", "slate", "tundra", "umber",
         "violet", "willow", "xenon", "yarrow", "zephyr")
EPOCH = datetime.date(2000, 1, 1).toordinal()


def words(seed, length):
    """Words chosen by seed, joined by spaces, cut to length, no end space."""
    out = []
    x = seed
    total = 0
    while total < length:
        w = WORDS[x % len(WORDS)]
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(w)
        total += len(w) + 1
    return " ".join(out)[:length].rstrip()


def row(i):
    h = (i * 2654435761) & 0xFFFFFFFF
    qty = (i * 7919) % 10007
    cents = (i * 104729 + 12345) % 10000000
    price = f"{cents // 100}.{cents % 100:02d}"
    name = words(h, 6 + h % 15)
    note = None if i % 10 == 0 else words(h >> 7, 10 + (h >> 3) % 51)
    d = datetime.date.fromordinal(EPOCH + (i * 37) % 9131).isoformat()
    return i, qty, price, name, note, d


def write_tsv(n, path):
    with open(path, "w") as f:
        for i in range(1, n + 1):
            f.write("\t".join("\\N" if v is None else str(v)
                              for v in row(i)))
            f.write("\n")


def load_sqlite(n, path):
    db = sqlite3.connect(path, timeout=60)
    try:
        if db.execute(f"SELECT count(*) FROM {TABLE}").fetchone()[0] == n:
            return
    except sqlite3.OperationalError:
        pass  # no such table yet
    print(f"bench: filling {TABLE} in SQLite ({n} rows)", file=sys.stderr)
    db.execute(f"DROP TABLE IF EXISTS {TABLE}")
    db.execute(f"CREATE TABLE {TABLE} ({COLUMNS})")
    db.executemany(f"INSERT INTO {TABLE} VALUES (?, ?, ?, ?, ?, ?)",
                   (row(i) for i in range(1, n + 1)))
    db.commit()
    db.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, required=True)
    p.add_argument("--tsv")
    p.add_argument("--sqlite")
    p.add_argument("--columns", action="store_true",
                   help="print the column definitions")
    a = p.parse_args()
    if a.columns:
        print(COLUMNS)
    if a.tsv:
        write_tsv(a.rows, a.tsv)
    if a.sqlite:
        load_sqlite(a.rows, a.sqlite)
    return 0


if __name__ == "__main__":
    sys.exit(main())
