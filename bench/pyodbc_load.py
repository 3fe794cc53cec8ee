#!/usr/bin/python3
"""Loads the benchmark rows with pyodbc's executemany, for orvload's
reference row.

Reads the tab-separated rows (\\N for NULL), empties the table, then calls
executemany with batches of --batch rows.  Prints "pyodbc_executemany ROWS
CPU_MS": the CPU time of executemany alone, after checking the row count.
"""
import argparse
import time

import pyodbc


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--connect", required=True)
    p.add_argument("--tsv", required=True)
    p.add_argument("--table", required=True)
    p.add_argument("--batch", type=int, default=1000)
    a = p.parse_args()
    rows = []
    with open(a.tsv) as f:
        for line in f:
            rows.append([None if v == "\\N" else v
                         for v in line.rstrip("\n").split("\t")])
    con = pyodbc.connect(a.connect, autocommit=True)
    cur = con.cursor()
    cur.execute("DELETE FROM " + a.table)
    sql = "INSERT INTO %s VALUES (%s)" % (a.table,
                                          ", ".join("?" * len(rows[0])))
    start = time.process_time()
    for k in range(0, len(rows), a.batch):
        cur.executemany(sql, rows[k:k + a.batch])
    cpu_ms = (time.process_time() - start) * 1000
    count = cur.execute("SELECT COUNT(*) FROM " + a.table).fetchone()[0]
    cur.execute("DELETE FROM " + a.table)
    if count != len(rows):
        raise SystemExit("pyodbc loaded %d rows, not %d" % (count, len(rows)))
    print("pyodbc_executemany %d %.1f" % (len(rows), cpu_ms))


main()
